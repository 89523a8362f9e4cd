// The floor of this machine for scripts/bench.sh: an HTTP server that does
// nothing but count the request heads it receives (each ends in an empty
// line) and answer each with the same 100-byte text. Whatever a real server
// pays beyond it is the room its own work takes.
//
//   floor_server --io=uring|epoll --threads N
//
// Prints "listening on 127.0.0.1:PORT" once ready (a free port), then serves
// until killed. Each thread has a listening socket of its own on the port
// (SO_REUSEPORT) and its own event loop:
//   uring  io_uring with submissions and completions batched per loop turn
//          (single issuer, deferred task running), multishot accept;
//   epoll  edge-triggered epoll; a short read is taken as drained.
// A connection closes when the client closes or asks for it.
#include <liburing.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::string_view kAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"
    "0123456789012345678901234567890123456789012345678901234567890123456789"
    "012345678901234567890123456789";
constexpr size_t kBufferBytes = 4096;
constexpr unsigned kRingEntries = 4096;
constexpr int kEpollEvents = 256;

struct Conn {
  int fd = -1;
  char in[kBufferBytes];
  std::string out;
  bool closing = false;
};

// Appends one answer per complete head in `data`; true when one asked for
// the close.
bool Answer(Conn& c, std::string_view data) {
  for (size_t at = data.find("\r\n\r\n"); at != std::string_view::npos;
       at = data.find("\r\n\r\n", at + 4)) {
    c.out.append(kAnswer);
  }
  return data.find("Connection: close") != std::string_view::npos;
}

int Listen(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    std::perror("floor_server: listen");
    _exit(1);
  }
  return fd;
}

// ---- io_uring ----

enum Kind : uint64_t { kAccept = 1, kRecv = 2, kSend = 3 };

uint64_t Tag(Conn* c, Kind kind) {
  return reinterpret_cast<uint64_t>(c) | kind;
}

void PrepRecv(io_uring& ring, Conn* c) {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  io_uring_prep_recv(sqe, c->fd, c->in, kBufferBytes, 0);
  io_uring_sqe_set_data64(sqe, Tag(c, kRecv));
}

void OnUringRecv(io_uring& ring, Conn* c, int result) {
  if (result <= 0) {
    close(c->fd);
    delete c;
    return;
  }
  c->closing = Answer(*c, std::string_view(c->in, result));
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  io_uring_prep_send(sqe, c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
  io_uring_sqe_set_data64(sqe, Tag(c, kSend));
}

void ServeUring(int listener) {
  io_uring ring;
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  if (io_uring_queue_init_params(kRingEntries, &ring, &params) != 0) {
    std::fprintf(stderr, "floor_server: io_uring refused\n");
    _exit(1);
  }
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  io_uring_prep_multishot_accept(sqe, listener, nullptr, nullptr, 0);
  io_uring_sqe_set_data64(sqe, kAccept);
  for (;;) {
    io_uring_submit_and_wait(&ring, 1);
    io_uring_cqe* cqe;
    unsigned head;
    unsigned seen = 0;
    io_uring_for_each_cqe(&ring, head, cqe) {
      ++seen;
      const uint64_t tag = cqe->user_data;
      Conn* c = reinterpret_cast<Conn*>(tag & ~uint64_t{7});
      switch (tag & 7) {
        case kAccept:
          if (cqe->res >= 0) {
            Conn* fresh = new Conn;
            fresh->fd = cqe->res;
            PrepRecv(ring, fresh);
          }
          break;
        case kRecv:
          OnUringRecv(ring, c, cqe->res);
          break;
        case kSend:
          c->out.clear();
          if (c->closing || cqe->res < 0) {
            close(c->fd);
            delete c;
          } else {
            PrepRecv(ring, c);
          }
          break;
      }
    }
    io_uring_cq_advance(&ring, seen);
  }
}

// ---- epoll ----

void OnEpollReadable(Conn* c) {
  for (;;) {
    const ssize_t got = recv(c->fd, c->in, kBufferBytes, 0);
    if (got <= 0 && !(got < 0 && errno == EAGAIN)) {
      close(c->fd);  // closing takes it out of the epoll set
      delete c;
      return;
    }
    if (got < 0) return;
    c->closing = Answer(*c, std::string_view(c->in, got));
    send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
    c->out.clear();
    if (c->closing) {
      close(c->fd);
      delete c;
      return;
    }
    if (static_cast<size_t>(got) < kBufferBytes) return;  // drained
  }
}

void ServeEpoll(int listener) {
  const int epoll = epoll_create1(0);
  epoll_event listen_event{EPOLLIN, {.ptr = nullptr}};
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &listen_event);
  epoll_event events[kEpollEvents];
  for (;;) {
    const int count = epoll_wait(epoll, events, kEpollEvents, -1);
    for (int i = 0; i < count; ++i) {
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      if (c != nullptr) {
        OnEpollReadable(c);
        continue;
      }
      for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0) break;
        Conn* fresh = new Conn;
        fresh->fd = fd;
        epoll_event event{EPOLLIN | EPOLLET, {.ptr = fresh}};
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        OnEpollReadable(fresh);  // the request may be there already
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool uring = true;
  int threads = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--io=epoll") {
      uring = false;
    } else if (arg == "--io=uring") {
      uring = true;
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: floor_server --io=uring|epoll --threads N\n");
      return 2;
    }
  }
  std::vector<int> listeners = {Listen(0)};
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(listeners[0], reinterpret_cast<sockaddr*>(&bound), &size);
  const int port = ntohs(bound.sin_port);
  for (int i = 1; i < threads; ++i) listeners.push_back(Listen(port));
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  std::vector<std::thread> running;
  for (const int listener : listeners)
    running.emplace_back(uring ? ServeUring : ServeEpoll, listener);
  for (std::thread& thread : running) thread.join();
}
