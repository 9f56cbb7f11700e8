// Exception filters: per-class choices of dialog, message, report and after-action.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TVantorModuleOptions;

struct TVantorExceptionFilter {
  std::uint8_t Active = 1;
  std::string ExceptionClassName;
  std::string MessageText;     // empty keeps the exception's message; may hold %NAME%
  std::uint8_t MatchKind = 0;  // 0 all, 1 notification kind != 0, 2 kind == 0
  std::uint8_t DialogChoice =
      0;                      // 0 none, 1 the options' dialog, 2 message box, 3 short, 4 detailed
  std::uint8_t Handling = 0;  // 2 full report, 1 no report + result flag, 0 neither
  std::uint8_t AfterAction = 0;  // 0 nothing, 1 terminate, 2 restart

  bool operator==(const TVantorExceptionFilter&) const = default;
};

// The filters of one options object; records are owned by the list. Every change announces
// itself through the owner's TriggerChanged.
class TVantorExceptionsFilters {
 public:
  explicit TVantorExceptionsFilters(TVantorModuleOptions* owner) : owner_(owner) {}
  ~TVantorExceptionsFilters();
  TVantorExceptionsFilters(const TVantorExceptionsFilters&) = delete;
  TVantorExceptionsFilters& operator=(const TVantorExceptionsFilters&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // nullptr outside 0..Count()-1.
  TVantorExceptionFilter* GetFilter(int index) const;
  TVantorExceptionFilter* Add(const TVantorExceptionFilter& record);
  void Delete(int index);
  void ClearFilters();
  // Replaces this list's records by copies of the other's; copying a list onto itself keeps it.
  void CopyFilters(const TVantorExceptionsFilters& other);

 private:
  void Changed();
  TVantorModuleOptions* owner_;
  std::vector<std::unique_ptr<TVantorExceptionFilter>> items_;
};
