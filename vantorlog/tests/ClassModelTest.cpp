#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "SysUtils.h"
#include "VClassModel.h"
#include "VExceptionCache.h"
#include "VMemory.h"
#include "core/ExceptionLog.h"

// Global-scope classes, as the library's own exception classes are.
class EFirstBase : public Exception {
 public:
  using Exception::Exception;
};
class ESecondBase {
 public:
  virtual ~ESecondBase() = default;
  int tag = 7;
};
class EMixed : public EFirstBase, public ESecondBase {
 public:
  using EFirstBase::EFirstBase;
};
namespace outer {
class ENested : public EAccessViolation {
 public:
  using EAccessViolation::EAccessViolation;
};
}  // namespace outer

namespace {

using namespace VCore;

TEST(ClassModelTest, NamesAndAncestorsFromTypeInfo) {
  EMixed mixed("m");
  outer::ENested nested("n");
  std::runtime_error runtime("r");
  EXPECT_EQ(ClassNameOf(ClassOfObject(&mixed)), "EMixed");
  EXPECT_EQ(ClassNameOf(ClassOfObject(&nested)), "outer::ENested");
  EXPECT_EQ(ClassNameOf(ClassOfObject(&runtime)), "std::runtime_error");

  struct Case {
    const void* object;
    const char* name;
    bool inherits;
  } cases[] = {
      {&mixed, "EMixed", true},
      {&mixed, " eMixed  ", true},
      {&mixed, "EFirstBase", true},
      {&mixed, "ESecondBase", true},
      {&mixed, "Exception", true},
      {&mixed, "EAbort", false},
      {&nested, "EExternal", true},
      {&nested, "EAccessViolation", true},
      {&nested, "ENested", false},
      {&runtime, "std::exception", true},
      {&runtime, "std::logic_error", false},
      {&runtime, "Exception", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(InheritsFromClassName(c.object, c.name), c.inherits) << c.name;
  EXPECT_TRUE(InheritsFromClass(&nested, &typeid(EExternal)));
  EXPECT_TRUE(InheritsFromAny(&mixed, {&typeid(EAbort), &typeid(ESecondBase)}));
  EXPECT_FALSE(IsLanguageException(&nested));
  EXPECT_TRUE(IsLanguageException(&mixed));
}

TEST(ClassModelTest, InvalidPointersAreNoObjects) {
  int plain = 42;
  const void* words[2] = {&plain, nullptr};  // first word points at data, not a vtable
  auto freed = std::make_unique<char[]>(64);
  const void* cases[] = {
      nullptr, reinterpret_cast<void*>(16), &plain,
      words,   "text that is no object",    reinterpret_cast<void*>(&IsValidObject)};
  for (const void* p : cases) {
    EXPECT_FALSE(IsValidObject(p)) << p;
    EXPECT_FALSE(InheritsFromClassName(p, "Exception"));
    EXPECT_EQ(ClassNameOf(ClassOfObject(p)), "");
  }
  EXPECT_FALSE(IsValidClass(nullptr));
  EXPECT_FALSE(IsValidClass(&typeid(int)));  // a type_info, but not of a class
  EXPECT_TRUE(IsValidClass(&typeid(EMixed)));
}

TEST(ClassModelTest, UpcastFindsSecondaryBase) {
  EMixed mixed("m");
  ESecondBase* second = ObjectAs<ESecondBase>(&mixed);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tag, 7);
  EXPECT_EQ(static_cast<void*>(second), static_cast<void*>(static_cast<ESecondBase*>(&mixed)));
  EXPECT_EQ(ObjectAs<EAbort>(&mixed), nullptr);
}

TEST(ClassModelTest, ManageableObjects) {
  EAbort abort("a");
  Exception plain("p");
  EXPECT_FALSE(IsManageableObject(&abort));
  EXPECT_TRUE(IsManageableObject(&plain));
  EXPECT_FALSE(IsManageableObject(nullptr));
}

TEST(MemoryProbeTest, ReadableRanges) {
  static const char data[64] = "readable";
  EXPECT_TRUE(IsMemoryReadable(data, sizeof data));
  EXPECT_FALSE(IsMemoryReadable(nullptr, 4));
  EXPECT_FALSE(IsMemoryReadable(reinterpret_cast<void*>(4096), 4));
  EXPECT_TRUE(IsMemoryReadable(nullptr, 0));
  char copy[9];
  EXPECT_TRUE(SafeRead(data, copy, 9));
  EXPECT_STREQ(copy, "readable");
  // Not an import jump: the address itself.
  EXPECT_EQ(FollowImportJump(data), static_cast<const void*>(data));
}

TEST(ExceptionCacheTest, KeepsTheLastTen) {
  CacheClear();
  Exception e("x");
  for (int i = 0; i < 11; ++i)
    CacheAdd(&e, reinterpret_cast<void*>(0x1000 + i), 5,
             TCachedDecision{1, std::uint32_t(i), 2, 3});
  EXPECT_EQ(CacheCount(), kExceptionCacheSize);
  TCachedDecision answer;
  EXPECT_FALSE(CacheLookup(&e, reinterpret_cast<void*>(0x1000), 5, &answer));  // oldest gone
  ASSERT_TRUE(CacheLookup(&e, reinterpret_cast<void*>(0x1000 + 10), 5, &answer));
  EXPECT_EQ(answer, (TCachedDecision{1, 10, 2, 3}));
  ASSERT_TRUE(CacheLookup(&e, reinterpret_cast<void*>(0x1001), 5, &answer));
  EXPECT_EQ(answer.b, 1u);
  // Another key, another class, and no object at all are other entries.
  EAbort other("y");
  EXPECT_FALSE(CacheLookup(&e, reinterpret_cast<void*>(0x1001), 6, &answer));
  EXPECT_FALSE(CacheLookup(&other, reinterpret_cast<void*>(0x1001), 5, &answer));
  CacheAdd(nullptr, reinterpret_cast<void*>(0x2000), 0, TCachedDecision{9, 9, 9, 9});
  EXPECT_TRUE(CacheLookup(nullptr, reinterpret_cast<void*>(0x2000), 0, &answer));
  // An object whose class cannot be read is neither added nor looked up.
  int not_an_object = 0;
  CacheClear();
  CacheAdd(&not_an_object, nullptr, 0, TCachedDecision{});
  EXPECT_EQ(CacheCount(), 0);
}

class FilterMatchTest : public ::testing::Test {
 protected:
  void Add(const char* name, std::uint8_t kind = 0, std::uint8_t active = 1) {
    TVantorExceptionFilter f;
    f.Active = active;
    f.ExceptionClassName = name;
    f.MatchKind = kind;
    options->FFilters->Add(f);
  }
  int Match(const void* object, int kind = 0) {
    return ExceptionLog::MatchExceptionFilter(*options, object, kind);
  }
  std::unique_ptr<TVantorModuleOptions> options = TVantorModuleOptions::Create("");
};

TEST_F(FilterMatchTest, EmptyListMatchesNothing) {
  Exception e("x");
  EXPECT_EQ(Match(&e), -1);
}

TEST_F(FilterMatchTest, FirstActiveMatchWins) {
  Add("Exception", 0, 0);  // inactive, even when first
  Add("EFirstBase");
  Add(" exception");
  EMixed mixed("m");
  Exception plain("p");
  EXPECT_EQ(Match(&mixed), 1);
  EXPECT_EQ(Match(&plain), 2);
  int not_an_object = 0;
  EXPECT_EQ(Match(&not_an_object), -1);
}

TEST_F(FilterMatchTest, MatchKindSelectsNotifications) {
  Add("Exception", 1);
  Add("Exception", 2);
  Add("Exception", 3);
  Exception e("x");
  EXPECT_EQ(Match(&e, 0), 1);
  EXPECT_EQ(Match(&e, 5), 0);
  options->FFilters->Delete(0);
  options->FFilters->Delete(0);
  EXPECT_EQ(Match(&e, 0), -1);  // kind 3 never matches
  EXPECT_EQ(Match(&e, 1), -1);
}

TEST_F(FilterMatchTest, ForeignStdClassesByDemangledName) {
  Add("std::logic_error");
  std::out_of_range range("r");
  std::runtime_error runtime("r");
  EXPECT_EQ(Match(&range), 0);
  EXPECT_EQ(Match(&runtime), -1);
}

TEST_F(FilterMatchTest, ActiveXExceptionMatchesItsNamesExactly) {
  Add("Exception", 3);  // kind is not looked at for these
  Add("EOleSysError", 3);
  TActiveXException ax("ole", {"EOleError", "EOleSysError"});
  EXPECT_EQ(Match(&ax), 1);
  TActiveXException lower("ole", {"eolesyserror"});
  EXPECT_EQ(Match(&lower), -1);
}

}  // namespace
