#include "server/io/uring_loop.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/io/accept_batch.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// Entries of cancellations, which complete unseen.
constexpr uint64_t kUnseen = 0;
// The one group of provided buffers.
constexpr int kLentGroup = 0;
// While an accept's poll is armed its `place` says so.
constexpr uint8_t kPollArmed = 1;

static_assert((kLentBuffers & (kLentBuffers - 1)) == 0,
              "a provided buffer ring has a power of two entries");

size_t LentMemoryBytes() { return kLentBuffers * kLentBufferBytes; }
size_t LentRingBytes() { return kLentBuffers * sizeof(io_uring_buf); }

}  // namespace

std::unique_ptr<UringLoop> UringLoop::Open(std::string& error) {
  std::unique_ptr<UringLoop> loop(new UringLoop());
  if (!loop->Setup(error)) return nullptr;
  return loop;
}

bool UringLoop::Setup(std::string& error) {
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN |
                 IORING_SETUP_R_DISABLED;
  const int made = io_uring_queue_init_params(kRingEntries, &ring_, &params);
  if (made < 0) {
    error = std::string("io_uring refused: ") + std::strerror(-made);
    return false;
  }
  ring_open_ = true;
  void* memory =
      mmap(nullptr, LentMemoryBytes() + LentRingBytes(), PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    error =
        std::string("no memory for receive buffers: ") + std::strerror(errno);
    return false;
  }
  lent_memory_ = static_cast<char*>(memory);
  lent_ring_ =
      reinterpret_cast<io_uring_buf_ring*>(lent_memory_ + LentMemoryBytes());
  io_uring_buf_ring_init(lent_ring_);
  io_uring_buf_reg registration{};
  registration.ring_addr = reinterpret_cast<uint64_t>(lent_ring_);
  registration.ring_entries = kLentBuffers;
  registration.bgid = kLentGroup;
  const int registered = io_uring_register_buf_ring(&ring_, &registration, 0);
  if (registered < 0) {
    error = std::string("io_uring refused receive buffers: ") +
            std::strerror(-registered);
    return false;
  }
  for (unsigned id = 0; id < kLentBuffers; ++id) GiveBack(id);
  io_uring_buf_ring_advance(lent_ring_, static_cast<int>(lent_given_back_));
  lent_given_back_ = 0;
  return true;
}

UringLoop::~UringLoop() {
  // Closing the ring ends every operation still under way before the
  // memory it used goes.
  if (ring_open_) io_uring_queue_exit(&ring_);
  if (lent_memory_ != nullptr)
    munmap(lent_memory_, LentMemoryBytes() + LentRingBytes());
}

// liburing 2.3 declares io_uring_enable_rings but does not export it.
void UringLoop::Attach() {
  syscall(__NR_io_uring_register, ring_.ring_fd, IORING_REGISTER_ENABLE_RINGS,
          nullptr, 0);
}

// A free submission entry; when the ring is full, what it holds is
// submitted first (without waiting).
io_uring_sqe* UringLoop::Entry() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  while (sqe == nullptr) {
    io_uring_submit(&ring_);
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

void UringLoop::Start(IoOp& op) {
  if (op.kind == IoOp::Kind::kAccept) return ArmAccept(op);
  io_uring_sqe* sqe = Entry();
  const iovec& piece = op.pieces[0];
  switch (op.kind) {
    case IoOp::Kind::kReceiveLent:
      io_uring_prep_recv(sqe, op.fd, nullptr, kLentBufferBytes, 0);
      sqe->flags |= IOSQE_BUFFER_SELECT;
      sqe->buf_group = kLentGroup;
      // Just after an answer the client has mostly not sent again: wait
      // for its bytes instead of trying a receive that finds none.
      if (op.after_answer) sqe->ioprio |= IORING_RECVSEND_POLL_FIRST;
      break;
    case IoOp::Kind::kReceive:
      io_uring_prep_recv(sqe, op.fd, piece.iov_base, piece.iov_len, 0);
      break;
    case IoOp::Kind::kRead:
      io_uring_prep_read(sqe, op.fd, piece.iov_base,
                         static_cast<unsigned>(piece.iov_len), 0);
      break;
    case IoOp::Kind::kSend:
      if (op.message.msg_iovlen == 1) {
        io_uring_prep_send(sqe, op.fd, piece.iov_base, piece.iov_len,
                           MSG_NOSIGNAL);
      } else {
        io_uring_prep_sendmsg(sqe, op.fd, &op.message, MSG_NOSIGNAL);
      }
      break;
    case IoOp::Kind::kShutdown:
      io_uring_prep_shutdown(sqe, op.fd, SHUT_WR);
      break;
    default:  // kClose
      io_uring_prep_close(sqe, op.fd);
      break;
  }
  io_uring_sqe_set_data(sqe, &op);
}

void UringLoop::ArmAccept(IoOp& op) {
  op.place = kPollArmed;
  io_uring_sqe* sqe = Entry();
  io_uring_prep_poll_add(sqe, op.fd, POLLIN);
  io_uring_sqe_set_data(sqe, &op);
}

void UringLoop::OnListenerReady(IoOp& op, const io_uring_cqe& cqe) {
  op.place = 0;
  if (op.kind != IoOp::Kind::kAccept) return;
  if (op.cancelled || cqe.res < 0) {
    return EndAccepting(op, op.cancelled ? -ECANCELED : cqe.res);
  }
  int error = 0;
  const BatchEnd end = AcceptWaiting(
      op.fd, SOCK_CLOEXEC, error,
      [&](int fd) {
        op.owner->OnComplete(op, IoResult{fd, nullptr, true});
        return op.kind == IoOp::Kind::kAccept && !op.cancelled;
      },
      1);
  switch (end) {
    case BatchEnd::kFull:
    case BatchEnd::kDrained:
      return ArmAccept(op);  // completes in the next submission if more wait
    case BatchEnd::kFailed:
      return EndAccepting(op, -error);
    case BatchEnd::kStopped:
      if (op.kind == IoOp::Kind::kAccept) EndAccepting(op, -ECANCELED);
      return;
  }
}

void UringLoop::EndAccepting(IoOp& op, int error) {
  op.kind = IoOp::Kind::kIdle;
  op.owner->OnComplete(op, IoResult{error, nullptr, false});
}

// A cancellation by the operation's own tag: the kernel finds it in one
// bucket of its table (one by descriptor would look through them all).
// Those waiting here for the next turn see the flag and end there.
void UringLoop::Cancel(IoOp& op) {
  if ((!op.busy() && op.place != kPollArmed) || op.cancelled) return;
  op.cancelled = true;
  io_uring_sqe* cancel = Entry();
  io_uring_prep_cancel(cancel, &op, 0);
  io_uring_sqe_set_data64(cancel, kUnseen);
}

void UringLoop::GiveBack(unsigned buffer_id) {
  io_uring_buf_ring_add(
      lent_ring_, lent_memory_ + buffer_id * kLentBufferBytes, kLentBufferBytes,
      static_cast<unsigned short>(buffer_id),
      io_uring_buf_ring_mask(kLentBuffers), static_cast<int>(lent_given_back_));
  ++lent_given_back_;
}

void UringLoop::Turn(std::chrono::milliseconds limit,
                     std::chrono::steady_clock::time_point& now) {
  // Receives that found no buffer try again, or end if they were
  // cancelled meanwhile.
  std::vector<IoOp*> starved;
  starved.swap(starved_);
  for (IoOp* op : starved) {
    if (!op->cancelled) {
      op->after_answer = false;
      Start(*op);
      continue;
    }
    op->kind = IoOp::Kind::kIdle;
    op->owner->OnComplete(*op, IoResult{-ECANCELED, nullptr, false});
  }
  __kernel_timespec wait{};
  wait.tv_sec = limit.count() / 1000;
  wait.tv_nsec = (limit.count() % 1000) * 1000000;
  io_uring_cqe* first = nullptr;
  io_uring_submit_and_wait_timeout(&ring_, &first, 1, &wait, nullptr);
  now = std::chrono::steady_clock::now();
  unsigned head = 0;
  unsigned seen = 0;
  io_uring_cqe* cqe = nullptr;
  io_uring_for_each_cqe(&ring_, head, cqe) {
    ++seen;
    Deliver(*cqe);
  }
  io_uring_cq_advance(&ring_, seen);
  if (lent_given_back_ > 0) {
    io_uring_buf_ring_advance(lent_ring_, static_cast<int>(lent_given_back_));
    lent_given_back_ = 0;
  }
}

void UringLoop::Deliver(const io_uring_cqe& cqe) {
  if (cqe.user_data == kUnseen) return;
  IoOp& op = *static_cast<IoOp*>(io_uring_cqe_get_data(&cqe));
  if (op.place == kPollArmed) return OnListenerReady(op, cqe);
  IoResult result;
  result.value = cqe.res;
  result.more = (cqe.flags & IORING_CQE_F_MORE) != 0;
  const bool lent = (cqe.flags & IORING_CQE_F_BUFFER) != 0;
  const unsigned buffer_id = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
  if (lent) result.lent = lent_memory_ + buffer_id * kLentBufferBytes;
  if (result.value == -ENOBUFS && op.kind == IoOp::Kind::kReceiveLent &&
      !op.cancelled) {
    starved_.push_back(&op);  // still under way, as far as its owner knows
  } else {
    if (!result.more) op.kind = IoOp::Kind::kIdle;
    op.owner->OnComplete(op, result);
  }
  if (lent) GiveBack(buffer_id);
}

}  // namespace pendrakel::server
