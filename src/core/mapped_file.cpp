#include "core/mapped_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quaver {

namespace {

// ---- the SIGBUS guard -------------------------------------------------------
//
// A fixed table the handler reads without locks: a slot is claimed by
// storing its range, and freed by clearing it once the map is gone.

struct GuardSlot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> cut{false};
};

constexpr int kSlots = 256;
GuardSlot g_slots[kSlots];
std::mutex g_install;
struct sigaction g_previous;  // what was installed before the guard

std::uintptr_t page_size() {
  static const std::uintptr_t size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (GuardSlot& slot : g_slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    const std::uintptr_t end = slot.end.load(std::memory_order_acquire);
    if (begin == 0 || at < begin || at >= end) continue;
    // Zero pages from the faulting page to the end of the map: the read
    // goes on, and the conversion is refused when it checks the input.
    const std::uintptr_t from = at & ~(page_size() - 1);
    const int saved = errno;
    void* put = mmap(reinterpret_cast<void*>(from), end - from, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                     -1, 0);
    errno = saved;
    slot.cut.store(true, std::memory_order_release);
    if (put != MAP_FAILED) return;
    break;
  }
  // Not ours: whatever was there before decides.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) g_previous.sa_sigaction(sig, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // The default action: the fault repeats on return, and ends the process.
  signal(SIGBUS, SIG_DFL);
}

// Puts the guard in front of the current handler unless it is there: an
// embedding program (Python's faulthandler, say) may have installed its own
// since the last conversion.
void install_guard() {
  std::lock_guard<std::mutex> lock(g_install);
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) return;
  struct sigaction guard;
  std::memset(&guard, 0, sizeof guard);
  guard.sa_sigaction = on_sigbus;
  guard.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&guard.sa_mask);
  g_previous = current;
  sigaction(SIGBUS, &guard, nullptr);
}

int claim_slot(const std::uint8_t* data, std::size_t size) {
  install_guard();
  std::lock_guard<std::mutex> lock(g_install);
  for (int i = 0; i < kSlots; ++i) {
    GuardSlot& slot = g_slots[i];
    if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
    slot.cut.store(false, std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<std::uintptr_t>(data) + size, std::memory_order_relaxed);
    slot.begin.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
    return i;
  }
  return -1;
}

void free_slot(int i) {
  std::lock_guard<std::mutex> lock(g_install);
  g_slots[i].begin.store(0, std::memory_order_release);
  g_slots[i].end.store(0, std::memory_order_release);
}

// n bytes from offset `from` of one file to offset `to` of another, moved by
// the kernel. The wheel's oldest C library has no copy_file_range wrapper,
// and its kernel headers may not number the call; sendfile, there since
// long before, writes at the output's position instead.
ssize_t kernel_copy(int in, std::uint64_t from, int out, std::uint64_t to, std::size_t n) {
#ifdef SYS_copy_file_range
  loff_t in_at = static_cast<loff_t>(from), out_at = static_cast<loff_t>(to);
  return syscall(SYS_copy_file_range, in, &in_at, out, &out_at, n, 0u);
#else
  if (lseek(out, static_cast<off_t>(to), SEEK_SET) < 0) return -1;
  off_t in_at = static_cast<off_t>(from);
  return sendfile(out, in, &in_at, n);
#endif
}

std::int64_t mtime_ns(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

const Error kChanged{"the input file changed while it was being converted (cut short or rewritten)",
                     ErrorKind::kDamaged};

}  // namespace

// ---- the input --------------------------------------------------------------

Result<MappedInput> MappedInput::map(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return Error{"the input is not a regular file", ErrorKind::kUnsupported};
  }
  MappedInput input;
  input.fd_ = fd;
  input.mtime_ns_ = mtime_ns(st);
  input.size_ = static_cast<std::size_t>(st.st_size);
  if (input.size_ == 0) return input;
  void* at = mmap(nullptr, input.size_, PROT_READ, MAP_PRIVATE, fd, 0);
  if (at == MAP_FAILED) {
    return Error{std::string("the input file cannot be mapped: ") + std::strerror(errno), ErrorKind::kUnsupported};
  }
  input.data_ = static_cast<const std::uint8_t*>(at);
  input.slot_ = claim_slot(input.data_, input.size_);
  if (input.slot_ < 0) {
    munmap(at, input.size_);
    return Error{"too many input files are being converted at once", ErrorKind::kUnsupported};
  }
  return input;
}

MappedInput::~MappedInput() {
  if (!data_) return;
  munmap(const_cast<std::uint8_t*>(data_), size_);
  free_slot(slot_);
}

void MappedInput::swap(MappedInput& o) noexcept {
  std::swap(fd_, o.fd_);
  std::swap(data_, o.data_);
  std::swap(size_, o.size_);
  std::swap(slot_, o.slot_);
  std::swap(mtime_ns_, o.mtime_ns_);
}

Result<void> MappedInput::check_unchanged() const {
  if (slot_ >= 0 && g_slots[slot_].cut.load(std::memory_order_acquire)) return kChanged;
  struct stat st;
  if (fstat(fd_, &st) != 0 || static_cast<std::size_t>(st.st_size) != size_ || mtime_ns(st) != mtime_ns_) {
    return kChanged;
  }
  return {};
}

// ---- the output -------------------------------------------------------------

void* FileOutput::allocate(std::size_t n, std::uint8_t** data) {
  if (ftruncate(fd_, static_cast<off_t>(n)) != 0) throw FileOutputError{errno};
  if (n == 0) {
    *data = nullptr;
    return nullptr;
  }
  // posix_fallocate returns its error rather than setting errno; a file
  // system without it gets the blocks on first write instead.
  if (const int e = posix_fallocate(fd_, 0, static_cast<off_t>(n)); e != 0 && e != EOPNOTSUPP && e != EINVAL) {
    throw FileOutputError{e};
  }
  void* at = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (at == MAP_FAILED) throw FileOutputError{errno};
  *data = static_cast<std::uint8_t*>(at);
  stage_.resize(kStage);
  // release is given the handle alone, and unmapping needs the length too.
  return new std::pair<void*, std::size_t>(at, n);
}

void FileOutput::release(void* handle) noexcept {
  if (!handle) return;
  auto* mapping = static_cast<std::pair<void*, std::size_t>*>(handle);
  munmap(mapping->first, mapping->second);
  delete mapping;
}

void FileOutput::write(std::uint64_t at, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t done = pwrite(fd_, data, n, static_cast<off_t>(at));
    if (done < 0 && errno == EINTR) continue;
    // A source cut from under its map reads as a fault here rather than a
    // signal; the input check that follows every conversion reports it.
    if (done < 0 && errno == EFAULT) return;
    if (done <= 0) throw FileOutputError{done < 0 ? errno : ENOSPC};
    data += done;
    n -= static_cast<std::size_t>(done);
    at += static_cast<std::uint64_t>(done);
  }
}

void FileOutput::copy(std::uint64_t at, const std::uint8_t* src, std::size_t n) {
  const bool from_input = input_fd_ >= 0 && src >= input_.data() && n <= input_.size() &&
                          static_cast<std::size_t>(src - input_.data()) <= input_.size() - n;
  while (n > 0 && from_input && kernel_copy_) {
    const ssize_t done = kernel_copy(input_fd_, static_cast<std::uint64_t>(src - input_.data()), fd_, at, n);
    if (done < 0 && errno == EINTR) continue;
    if (done == 0) return;  // the input is shorter than its map: reported by the input check
    if (done < 0) {
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) throw FileOutputError{errno};
      kernel_copy_ = false;
      break;
    }
    src += done;
    n -= static_cast<std::size_t>(done);
    at += static_cast<std::uint64_t>(done);
  }
  write(at, src, n);
}

std::uint64_t cached_bytes(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= 0) return 0;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  void* at = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (at == MAP_FAILED) return 0;
  const std::size_t page = page_size();
  std::vector<unsigned char> resident((size + page - 1) / page);
  std::uint64_t cached = 0;
  if (mincore(at, size, resident.data()) == 0) {
    for (unsigned char r : resident) cached += r & 1;
  }
  munmap(at, size);
  return std::min<std::uint64_t>(cached * page, size);
}

}  // namespace quaver
