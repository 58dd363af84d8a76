// The result of a core routine: a value, or a core error carrying one message.
// Ordinary bad input always travels this way; exceptions are kept for faults.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quaver {

struct Error {
  std::string message;
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

}  // namespace quaver
