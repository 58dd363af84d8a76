// Files converted without holding them in memory: the input read through a
// read-only map, the output written into a file sized (and its blocks
// reserved) up front, through a small buffer and file-to-file copies, with a
// shared map of it for what is read or patched afterwards. The page cache
// backs both, so neither counts against the process's anonymous memory, and
// the core reads and writes byte views as it does for data held in memory.
//
// A mapped input can shrink under the reader: another process truncates or
// rewrites the file. A read past its new end would raise SIGBUS; the guard
// installed here puts zero pages in place of what was cut off and marks the
// input as changed, so the conversion runs on to an error instead of a
// crash. Any other SIGBUS goes to whatever handler was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"

namespace quaver {

class MappedInput {
 public:
  // Maps the open file `fd` read-only (the caller keeps it open while the
  // map is in use); an error where it is not a regular file or cannot be
  // mapped.
  static Result<MappedInput> map(int fd);

  MappedInput() = default;
  MappedInput(MappedInput&& o) noexcept { swap(o); }
  MappedInput& operator=(MappedInput&& o) noexcept {
    MappedInput tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  MappedInput(const MappedInput&) = delete;
  MappedInput& operator=(const MappedInput&) = delete;
  ~MappedInput();

  ByteView view() const { return ByteView(data_, size_); }
  // Success while the file is as it was when mapped: never cut under the
  // map, and its size and modification time unchanged.
  Result<void> check_unchanged() const;

 private:
  void swap(MappedInput& o) noexcept;
  int fd_ = -1;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  int slot_ = -1;  // in the SIGBUS guard's table
  std::int64_t mtime_ns_ = 0;
};

// Result storage in a file: allocate(n) sizes the open file `fd` to n bytes,
// reserves its blocks (so that a full disk is an error now, not a fault
// while writing), and maps it shared, for what is read or patched after
// writing. The writes themselves go through the FileSink side: gathered in
// a buffer of kStage bytes and written with pwrite, and runs of `input` (a
// map of the open file `input_fd`, or -1 for an input in memory) copied
// file to file by the kernel. So neither the result nor a second copy of
// its bytes is ever held in memory. Throws FileOutputError when the file
// system refuses.
class FileOutput final : public OutputAllocator, public FileSink {
 public:
  static constexpr std::size_t kStage = std::size_t{1} << 20;

  FileOutput(int fd, int input_fd, ByteView input) : fd_(fd), input_fd_(input_fd), input_(input) {}
  void* allocate(std::size_t n, std::uint8_t** data) override;
  void release(void* handle) noexcept override;
  FileSink* sink() override { return this; }

  std::uint8_t* stage() override { return stage_.data(); }
  std::size_t stage_size() const override { return stage_.size(); }
  void write(std::uint64_t at, const std::uint8_t* data, std::size_t n) override;
  void copy(std::uint64_t at, const std::uint8_t* src, std::size_t n) override;

 private:
  int fd_;
  int input_fd_;
  ByteView input_;
  std::vector<std::uint8_t> stage_;
  bool kernel_copy_ = true;  // until the file systems refuse it
};

struct FileOutputError {
  int error_number;  // errno
};

// Bytes of the file `fd` held in the page cache (for a file being written
// through FileOutput: about how much of it has been written).
std::uint64_t cached_bytes(int fd);

}  // namespace quaver
