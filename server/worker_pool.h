// WorkerPool: the bounded set of upload threads. A request whose body is
// still arriving when its preload is complete runs here, because its
// extension may block in ReadClient; every other request runs on its
// connection's I/O thread. Jobs beyond the thread count wait in the pool's
// queue, which the connection limit bounds.
//
// Post may be called from any thread; Join once, from the main thread, after
// the last job has been posted. Built on boost::asio::thread_pool, which owns
// the threads and the queue (guarded by its own lock).
#ifndef PENDRAKEL_SERVER_WORKER_POOL_H_
#define PENDRAKEL_SERVER_WORKER_POOL_H_

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <utility>

namespace pendrakel::server {

class WorkerPool {
 public:
  explicit WorkerPool(int threads) : pool_(static_cast<size_t>(threads)) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  template <typename Job>
  void Post(Job&& job) {
    boost::asio::post(pool_, std::forward<Job>(job));
  }

  // Waits until every posted job has run, then ends the threads.
  void Join() { pool_.join(); }

 private:
  boost::asio::thread_pool pool_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_WORKER_POOL_H_
