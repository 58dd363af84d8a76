// The result of a core routine: a value, or a core error carrying one message
// and its kind. Ordinary bad input always travels this way; exceptions are
// kept for faults. Result<void> is the result of a routine that only succeeds
// or fails.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quaver {

// What a refusal is about, for callers that act on it: the package raises
// one exception class per kind. _quaver raises ValueError for every kind,
// so the kind never changes what its callers see.
enum class ErrorKind : std::uint8_t {
  kDamaged,      // bytes that contradict themselves, cut short or corrupted
  kUnsupported,  // a format, codec or layout quaver does not carry
  kNothingToDo,  // no track or sample for the job
};

struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::kDamaged;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T take() { return std::move(std::get<0>(v_)); }
  const std::string& message() const { return std::get<1>(v_).message; }
  Error error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  const std::string& message() const { return error_.message; }
  Error error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace quaver
