// Failures that end a run through the top-level handler, and their report.
//
// Expected failures are 0/1 results with a message; the ones here are the
// unexpected kind: a refused write of the script, a component line without
// the field its type needs, a failed console read or write. Each carries its
// kind name, its message and the code address it was raised from.
#ifndef VARNOK_BASE_FAILURE_H_
#define VARNOK_BASE_FAILURE_H_

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace varnok {

class Failure : public std::exception {
 public:
  Failure(std::string kind, std::string message, const void* site)
      : kind_(std::move(kind)), message_(std::move(message)), site_(site) {}
  const std::string& kind() const { return kind_; }
  const std::string& message() const { return message_; }
  /// The code address the failure was raised from (null when unknown).
  const void* site() const { return site_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string kind_;
  std::string message_;
  const void* site_;
};

/// Raises EIniFileException "Unable to write to <path>", followed by ": "
/// and `detail` where that says more.
[[noreturn]] void RaiseIniFileError(const std::string& path, const std::string& detail = "");

/// Raises EStringListError "List index out of bounds (<index>)".
[[noreturn]] void RaiseListIndexError(long index);

/// Raises EInOutError with the message for the console error `code`.
[[noreturn]] void RaiseInOutError(int code);

/// "I/O error <code>", or the fixed text that the codes 2-5, 100, 101, 106 have.
std::string InOutErrorMessage(int code);

/// The three-line report: "Exception <kind> in module <module> at <offset>.",
/// the message with a final ".", and an empty line; lines end with `line_end`.
std::string FailureReport(const Failure& failure, std::string_view module,
                          std::string_view line_end);

/// `site` less the load address of the module holding it, cut to 32 bits.
uint32_t SiteOffset(const void* site);

}  // namespace varnok

#endif  // VARNOK_BASE_FAILURE_H_
