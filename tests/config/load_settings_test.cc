#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/settings_file.h"
#include "config/settings.h"
#include "config/settings_document.h"
#include "config/settings_problem.h"
#include "store/memory_budget.h"

namespace pendrakel {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test holding one settings file, removed afterwards.
class LoadSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* test =
        ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ =
        fs::temp_directory_path() /
        ("pendrakel-settings-" + std::to_string(getpid()) + "-" + test->name());
    fs::remove_all(folder_);
    ASSERT_TRUE(fs::create_directory(folder_));
    path_ = (folder_ / kSettingsFileName).string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  void WriteFile(const std::string& contents) {
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    file << contents;
    ASSERT_TRUE(file.good());
  }

  // Loads `contents` into a fresh Settings and memory maximum.
  int32_t Load(const std::string& contents) {
    WriteFile(contents);
    return LoadPath(path_);
  }
  int32_t LoadPath(const std::string& path) {
    settings_ = Settings{};
    memoryMax_ = 0;
    return LoadSettings(path.c_str(), settings_, memoryMax_);
  }

  fs::path folder_;
  std::string path_;
  Settings settings_;
  uint64_t memoryMax_ = 0;
};

std::string Document(const std::string& children) {
  return "<?xml version=\"1.0\"?>\n<Settings>" + children + "</Settings>\n";
}

void ExpectDefaults(const Settings& settings) {
  EXPECT_STREQ(settings.Description, "Pendrakel ISAPI Extension");
  EXPECT_EQ(settings.IdleLimit, 1200);
  EXPECT_STREQ(settings.GetCmdName, "get");
  EXPECT_STREQ(settings.SetCmdName, "set");
  EXPECT_STREQ(settings.DelCmdName, "del");
  EXPECT_STREQ(settings.NopCmdName, "nop");
  EXPECT_STREQ(settings.PathBase, "/");
  EXPECT_EQ(settings.PathBaseLength, 1);
  EXPECT_FALSE(settings.Distribute);
  EXPECT_STREQ(settings.CookieName, "");
  EXPECT_STREQ(settings.CookieAttributes, "");
  EXPECT_STREQ(settings.DefaultContentType, "");
}

TEST(Settings, FreshRecordHoldsTheDefaults) {
  ExpectDefaults(Settings{});
  EXPECT_EQ(MemoryBudget().max(), 0u);
}

TEST_F(LoadSettingsTest, ReadsEverySetting) {
  ASSERT_EQ(Load(Document(R"(
    <GC Limit="30"/>
    <Cookie Distribute="true" Name="sid" Attributes="Path=/; HttpOnly"/>
    <CmdName Get="read" Set="write" Del="erase" Nop="ping"/>
    <PathBase>/kv/</PathBase>
    <DefaultContentType>text/plain; charset=utf-8</DefaultContentType>
    <Memory Max="1048576"/>)")),
            kOk);
  EXPECT_EQ(settings_.IdleLimit, 1800);
  EXPECT_TRUE(settings_.Distribute);
  EXPECT_STREQ(settings_.CookieName, "sid");
  EXPECT_STREQ(settings_.CookieAttributes, "Path=/; HttpOnly");
  EXPECT_STREQ(settings_.GetCmdName, "read");
  EXPECT_STREQ(settings_.SetCmdName, "write");
  EXPECT_STREQ(settings_.DelCmdName, "erase");
  EXPECT_STREQ(settings_.NopCmdName, "ping");
  EXPECT_STREQ(settings_.PathBase, "/kv/");
  EXPECT_EQ(settings_.PathBaseLength, 4);
  EXPECT_STREQ(settings_.DefaultContentType, "text/plain; charset=utf-8");
  EXPECT_EQ(memoryMax_, 1048576u);
  EXPECT_STREQ(settings_.Description, "Pendrakel ISAPI Extension");
}

TEST_F(LoadSettingsTest, AbsentElementsAndAttributesKeepTheDefaults) {
  ASSERT_EQ(
      Load(Document(R"(<GC/><Cookie/><CmdName/><Memory/><Other A="1"/>)")),
      kOk);
  ExpectDefaults(settings_);
  EXPECT_EQ(memoryMax_, 0u);
}

TEST_F(LoadSettingsTest, FirstOfSeveralSameNamedChildrenWins) {
  ASSERT_EQ(Load(Document(R"(
    <GC Limit="2"/><GC Limit="3"/>
    <CmdName Get="first"/><CmdName Get="second" Set="second"/>
    <PathBase>/a/</PathBase><PathBase>/bb/</PathBase>)")),
            kOk);
  EXPECT_EQ(settings_.IdleLimit, 120);
  EXPECT_STREQ(settings_.GetCmdName, "first");
  EXPECT_STREQ(settings_.SetCmdName, "set");  // not taken from the second
  EXPECT_STREQ(settings_.PathBase, "/a/");
}

TEST_F(LoadSettingsTest, GrandchildrenWrongCaseAndPrefixedNamesAreIgnored) {
  ASSERT_EQ(Load(R"(<Settings xmlns:p="urn:p">
    <Group><GC Limit="5"/><PathBase>/deep/</PathBase></Group>
    <gc Limit="6"/><GC limit="7" p:Limit="8"/>
    <p:PathBase>/prefixed/</p:PathBase>
    <cookie Distribute="true"/><Cookie distribute="true" NAME="x"/>
    <CmdName get="a" GET="b"/><memory Max="5"/>
  </Settings>)"),
            kOk);
  ExpectDefaults(settings_);
  EXPECT_EQ(memoryMax_, 0u);
}

TEST_F(LoadSettingsTest, RootNameAndDefaultNamespaceDoNotMatter) {
  ASSERT_EQ(Load(R"(<anything xmlns="urn:x"><GC Limit="4"/></anything>)"), kOk);
  EXPECT_EQ(settings_.IdleLimit, 240);
}

TEST_F(LoadSettingsTest, LimitIsMinutesScaledToSeconds) {
  constexpr int64_t kMaxMinutes = std::numeric_limits<int64_t>::max() / 60;
  constexpr int64_t kMinMinutes = std::numeric_limits<int64_t>::min() / 60;
  const struct {
    std::string text;
    int64_t seconds;
  } kCases[] = {
      {"30", 1800},
      {"0", 0},
      {"-5", -300},
      {"+2", 120},
      {" \t42\t ", 2520},
      {"007", 420},
      {std::to_string(kMaxMinutes), kMaxMinutes * 60},
      {std::to_string(kMinMinutes), kMinMinutes * 60},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("Limit=\"" + c.text + "\"");
    ASSERT_EQ(Load(Document("<GC Limit=\"" + c.text + "\"/>")), kOk);
    EXPECT_EQ(settings_.IdleLimit, c.seconds);
  }
}

TEST_F(LoadSettingsTest, BadLimitFailsAndStopsTheLoad) {
  constexpr int64_t kMaxMinutes = std::numeric_limits<int64_t>::max() / 60;
  constexpr int64_t kMinMinutes = std::numeric_limits<int64_t>::min() / 60;
  const struct {
    std::string text;
    int32_t status;
  } kCases[] = {
      {"", kErrorTypeMismatch},
      {"  ", kErrorTypeMismatch},
      {"abc", kErrorTypeMismatch},
      {"1.5", kErrorTypeMismatch},
      {"0x10", kErrorTypeMismatch},
      {"1e3", kErrorTypeMismatch},
      {"1 2", kErrorTypeMismatch},
      {"+-1", kErrorTypeMismatch},
      {"--1", kErrorTypeMismatch},
      {"-", kErrorTypeMismatch},
      {std::to_string(kMaxMinutes + 1), kErrorOverflow},
      {std::to_string(kMinMinutes - 1), kErrorOverflow},
      {"9223372036854775807", kErrorOverflow},
      {"9223372036854775808", kErrorOverflow},
      {"-9223372036854775809", kErrorOverflow},
      {"99999999999999999999999999", kErrorOverflow},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("Limit=\"" + c.text + "\"");
    EXPECT_EQ(Load(Document("<Cookie Name=\"later\"/><GC Limit=\"" + c.text +
                            "\"/><CmdName Get=\"later\"/>")),
              c.status);
    EXPECT_EQ(settings_.IdleLimit, 1200);
    EXPECT_STREQ(settings_.CookieName, "");  // GC is taken before Cookie
    EXPECT_STREQ(settings_.GetCmdName, "get");
  }
}

TEST_F(LoadSettingsTest, DistributeIsTrueOnlyForTrueInAnyCase) {
  const struct {
    const char* text;
    bool distribute;
  } kCases[] = {
      {"true", true},   {"TRUE", true},   {"True", true}, {"tRuE", true},
      {"yes", false},   {"1", false},     {"", false},    {"false", false},
      {" true", false}, {"truex", false}, {"tru", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("Distribute=\"") + c.text + "\"");
    ASSERT_EQ(
        Load(Document(std::string("<Cookie Distribute=\"") + c.text + "\"/>")),
        kOk);
    EXPECT_EQ(settings_.Distribute, c.distribute);
  }
}

TEST_F(LoadSettingsTest, CookieWithOnlyANameLeavesDistributeFalse) {
  ASSERT_EQ(Load(Document(R"(<Cookie Name="session"/>)")), kOk);
  EXPECT_STREQ(settings_.CookieName, "session");
  EXPECT_FALSE(settings_.Distribute);
}

TEST_F(LoadSettingsTest, MaxIsBytesWithoutScaling) {
  const struct {
    const char* text;
    uint64_t max;
  } kCases[] = {
      {"1048576", 1048576u},
      {"0", 0u},
      {"+7", 7u},
      {" 12\t", 12u},
      {"18446744073709551615", std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("Max=\"") + c.text + "\"");
    ASSERT_EQ(Load(Document(std::string("<Memory Max=\"") + c.text + "\"/>")),
              kOk);
    EXPECT_EQ(memoryMax_, c.max);
  }
}

TEST_F(LoadSettingsTest, BadMaxFailsAndLeavesTheBudgetAlone) {
  const struct {
    const char* text;
    int32_t status;
  } kCases[] = {
      {"", kErrorTypeMismatch},    {"1k", kErrorTypeMismatch},
      {"1MB", kErrorTypeMismatch}, {"+", kErrorTypeMismatch},
      {"-x", kErrorTypeMismatch},  {"-1", kErrorOverflow},
      {"-0", kErrorOverflow},      {"18446744073709551616", kErrorOverflow},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("Max=\"") + c.text + "\"");
    EXPECT_EQ(Load(Document(std::string("<Memory Max=\"") + c.text + "\"/>")),
              c.status);
    EXPECT_EQ(memoryMax_, 0u);
  }
}

TEST_F(LoadSettingsTest, FailureKeepsTheFieldsTakenBeforeIt) {
  EXPECT_EQ(Load(Document(R"(
    <GC Limit="1"/><Cookie Distribute="True" Name="c"/>
    <CmdName Get="g" Set="s"/><PathBase>/p/</PathBase>
    <DefaultContentType>a/b</DefaultContentType><Memory Max="lots"/>)")),
            kErrorTypeMismatch);
  EXPECT_EQ(settings_.IdleLimit, 60);
  EXPECT_TRUE(settings_.Distribute);
  EXPECT_STREQ(settings_.CookieName, "c");
  EXPECT_STREQ(settings_.GetCmdName, "g");
  EXPECT_STREQ(settings_.SetCmdName, "s");
  EXPECT_STREQ(settings_.PathBase, "/p/");
  EXPECT_EQ(settings_.PathBaseLength, 3);
  EXPECT_STREQ(settings_.DefaultContentType, "a/b");

  // A refused command name: the ones before it are taken, the rest of the
  // file is not.
  const std::string too_long(kCommandNameBytes, 'n');
  EXPECT_LT(
      Load(Document("<CmdName Get=\"g\" Set=\"s\" Del=\"d\" Nop=\"" + too_long +
                    "\"/><PathBase>/p/</PathBase><Memory Max=\"9\"/>")),
      0);
  EXPECT_STREQ(settings_.DelCmdName, "d");
  EXPECT_STREQ(settings_.NopCmdName, "nop");
  EXPECT_STREQ(settings_.PathBase, "/");
  EXPECT_EQ(memoryMax_, 0u);
}

TEST_F(LoadSettingsTest, EmptyTextsSetEmptyFields) {
  ASSERT_EQ(Load(Document(R"(
    <Cookie Name=""/><CmdName Get="" Nop=""/><PathBase></PathBase>
    <DefaultContentType/>)")),
            kOk);
  EXPECT_STREQ(settings_.CookieName, "");
  EXPECT_STREQ(settings_.GetCmdName, "");
  EXPECT_STREQ(settings_.SetCmdName, "set");
  EXPECT_STREQ(settings_.NopCmdName, "");
  EXPECT_STREQ(settings_.PathBase, "");
  EXPECT_EQ(settings_.PathBaseLength, 0);
  EXPECT_STREQ(settings_.DefaultContentType, "");
}

// Each text setting at the longest length its field holds, and one byte more.
TEST_F(LoadSettingsTest, OverlongTextIsRefusedAndLeavesItsFieldUnchanged) {
  const struct {
    const char* name;
    std::string (*file)(const std::string& text);
    const char* (*field)(const Settings& settings);
    size_t longest;
  } kCases[] = {
      {"Get",
       [](const std::string& t) {
         return Document("<CmdName Get=\"" + t + "\"/>");
       },
       [](const Settings& s) -> const char* { return s.GetCmdName; },
       kCommandNameBytes - 1},
      {"Nop",
       [](const std::string& t) {
         return Document("<CmdName Nop=\"" + t + "\"/>");
       },
       [](const Settings& s) -> const char* { return s.NopCmdName; },
       kCommandNameBytes - 1},
      {"CookieName",
       [](const std::string& t) {
         return Document("<Cookie Name=\"" + t + "\"/>");
       },
       [](const Settings& s) -> const char* { return s.CookieName; },
       kSettingTextBytes - 1},
      {"CookieAttributes",
       [](const std::string& t) {
         return Document("<Cookie Attributes=\"" + t + "\"/>");
       },
       [](const Settings& s) -> const char* { return s.CookieAttributes; },
       kSettingTextBytes - 1},
      {"DefaultContentType",
       [](const std::string& t) {
         return Document("<DefaultContentType>" + t + "</DefaultContentType>");
       },
       [](const Settings& s) -> const char* { return s.DefaultContentType; },
       kSettingTextBytes - 1},
      {"PathBase",
       [](const std::string& t) {
         return Document("<PathBase>" + t + "</PathBase>");
       },
       [](const Settings& s) -> const char* { return s.PathBase; },
       kMaxPathBaseLength},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string longest(c.longest, 'x');
    ASSERT_EQ(Load(c.file(longest)), kOk);
    EXPECT_EQ(c.field(settings_), longest);

    const std::string before = c.field(Settings{});
    EXPECT_LT(Load(c.file(longest + "x")), 0);
    EXPECT_EQ(c.field(settings_), before);
    // Multi-byte characters count in bytes.
    EXPECT_LT(Load(c.file(std::string(c.longest - 1, 'x') + "\xC3\xA9")), 0);
    EXPECT_EQ(c.field(settings_), before);
  }
  EXPECT_EQ(settings_.PathBaseLength, 1);
  ASSERT_EQ(Load(Document("<PathBase>" + std::string(kMaxPathBaseLength, '/') +
                          "</PathBase>")),
            kOk);
  EXPECT_EQ(settings_.PathBaseLength, 127);
}

TEST_F(LoadSettingsTest, PathBaseLengthCountsTheBytesOfTheTextAsWritten) {
  const struct {
    std::string content;
    const char* path_base;
    int8_t length;
  } kCases[] = {
      {"/kv/", "/kv/", 4},
      // XML white space around the text is dropped, as when pretty-printed;
      // inside it, it stays.
      {" /kv/\n", "/kv/", 4},
      {"\n    /kv/one\r\n  ", "/kv/one", 7},
      {"\t/a b/\t", "/a b/", 5},
      {" \n ", "", 0},
      {"/a&amp;b/", "/a&b/", 5},
      {"/<![CDATA[<x>]]>/", "/<x>/", 5},
      {"/\xC3\xA9/", "/\xC3\xA9/", 4},  // UTF-8 bytes, unconverted
      {"/<b>inner</b>/", "/inner/", 7},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.content);
    ASSERT_EQ(Load(Document("<PathBase>" + c.content + "</PathBase>")), kOk);
    EXPECT_STREQ(settings_.PathBase, c.path_base);
    EXPECT_EQ(settings_.PathBaseLength, c.length);
  }
}

TEST_F(LoadSettingsTest, DefaultContentTypeIsTakenWithoutTheWhiteSpaceAround) {
  ASSERT_EQ(Load(Document("<DefaultContentType>\n  text/plain\r\n"
                          "</DefaultContentType>")),
            kOk);
  EXPECT_STREQ(settings_.DefaultContentType, "text/plain");
  // A line break inside the text would end its header line: refused.
  EXPECT_LT(Load(Document("<DefaultContentType> a\nb </DefaultContentType>")),
            0);
}

TEST_F(LoadSettingsTest, FileThatIsNotWellFormedChangesNothing) {
  const std::string kSettings =
      R"(<GC Limit="5"/><Cookie Distribute="true" Name="n"/>)"
      R"(<CmdName Get="g"/><PathBase>/x/</PathBase><Memory Max="9"/>)";
  const std::string kFiles[] = {
      "<Settings>" + kSettings + "<Broken></Settings>",
      "<Settings>" + kSettings,
      "<Settings>" + kSettings + "</Settings><Second/>",
      "<Settings>" + kSettings + "<GC Limit=\"1\" Limit=\"2\"/></Settings>",
      "<Settings>" + kSettings + "&undefined;</Settings>",
      "<Settings>" + kSettings + "</Settings>\x01",
      "GC Limit=5",
      " \n\t ",
      "",
      // Entities that would expand to gigabytes are refused.
      R"(<!DOCTYPE S [<!ENTITY a "aaaaaaaaaa">)"
      R"(<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">)"
      R"(<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">)"
      R"(<!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">)"
      R"(<!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;">)"
      R"(<!ENTITY f "&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;">)"
      R"(<!ENTITY g "&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;">)"
      R"(<!ENTITY h "&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;">)"
      R"(<!ENTITY i "&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;">]>)"
      "<S>" +
          kSettings + "<DefaultContentType>&i;</DefaultContentType></S>",
  };
  ::testing::internal::CaptureStderr();
  for (const std::string& file : kFiles) {
    SCOPED_TRACE(file.substr(0, 60));
    EXPECT_EQ(Load(file), kErrorFail);
    ExpectDefaults(settings_);
    EXPECT_EQ(memoryMax_, 0u);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // prints nothing
}

TEST_F(LoadSettingsTest, FileLargerThanTheLimitIsRefused) {
  std::string file = Document(R"(<GC Limit="2"/>)");
  file.resize(kMaxSettingsFileBytes, ' ');  // blanks after the root are fine
  ASSERT_EQ(Load(file), kOk);
  EXPECT_EQ(settings_.IdleLimit, 120);
  EXPECT_EQ(Load(file + " "), kErrorFail);
  EXPECT_EQ(settings_.IdleLimit, 1200);
}

TEST_F(LoadSettingsTest, ExternalEntitiesAreNotRead) {
  const fs::path secret = folder_ / "secret.txt";
  std::ofstream(secret) << "leaked";
  ASSERT_EQ(Load("<!DOCTYPE S [<!ENTITY x SYSTEM \"" + secret.string() +
                 "\">]><S><DefaultContentType>&x;</DefaultContentType></S>"),
            kOk);
  EXPECT_STREQ(settings_.DefaultContentType, "");
}

TEST_F(LoadSettingsTest, PathWithTheExtendedLengthPrefixLoads) {
  WriteFile(Document(R"(<GC Limit="3"/>)"));
  ASSERT_EQ(LoadPath("\\\\?\\" + path_), kOk);
  EXPECT_EQ(settings_.IdleLimit, 180);
}

TEST_F(LoadSettingsTest, UnreadablePathsFail) {
  const std::vector<std::string> kPaths = {
      (folder_ / "missing.setting").string(),
      folder_.string(),  // a folder, not a file
      "",
  };
  ::testing::internal::CaptureStderr();
  for (const std::string& path : kPaths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(LoadPath(path), kErrorFail);
    ExpectDefaults(settings_);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  Settings settings;
  uint64_t memoryMax = 0;
  EXPECT_EQ(LoadSettings(nullptr, settings, memoryMax), kErrorPointer);
}

// The cookie name and the default content type are written into response
// header lines: a line break in them would let the file add header lines of
// its own to every response.
TEST_F(LoadSettingsTest, HeaderTextsWithControlCharactersAreRefused) {
  EXPECT_EQ(Load(Document("<Cookie Name=\"a&#13;&#10;X-Evil: 1\"/>")),
            kErrorTypeMismatch);
  EXPECT_STREQ(settings_.CookieName, "");
  EXPECT_EQ(Load(Document("<DefaultContentType>text/plain\nX-Evil: 1"
                          "</DefaultContentType>")),
            kErrorTypeMismatch);
  EXPECT_STREQ(settings_.DefaultContentType, "");
  EXPECT_EQ(Load(Document("<Cookie Name=\"a&#127;b\"/>")), kErrorTypeMismatch);
  // The cookie attributes end the Set-Cookie line: no tab either.
  for (const char* attributes : {"Path=/&#13;&#10;X-Evil: 1", "Path=/&#10;",
                                 "Path=/;&#9;Secure", "Path=/&#127;"}) {
    SCOPED_TRACE(attributes);
    EXPECT_EQ(Load(Document(std::string("<Cookie Attributes=\"") + attributes +
                            "\"/>")),
              kErrorTypeMismatch);
    EXPECT_STREQ(settings_.CookieAttributes, "");
  }
  // A tab is allowed in a header value, and command names never reach one.
  EXPECT_EQ(Load(Document("<DefaultContentType>text/plain;\tq=1"
                          "</DefaultContentType><CmdName Get=\"g&#10;\"/>")),
            kOk);
  EXPECT_STREQ(settings_.DefaultContentType, "text/plain;\tq=1");
}

// Persist names a folder the store can keep its files in, tested when the
// file is read; without the element nothing is kept.
TEST_F(LoadSettingsTest, PersistTakesAUsableFolderAndTheSyncPromise) {
  EXPECT_EQ(Load(Document("<GC Limit=\"1\"/>")), kOk);
  EXPECT_STREQ(settings_.PersistFolder, "");
  const std::string folder = folder_.string();
  EXPECT_EQ(Load(Document("<Persist Folder=\"" + folder +
                          "\" Sync=\"always\" "
                          "Other=\"x\"/><Persist Folder=\"/nowhere\"/>")),
            kOk);
  EXPECT_STREQ(settings_.PersistFolder, folder.c_str());
  EXPECT_EQ(settings_.PersistSync, SyncMode::kAlways);
  EXPECT_EQ(Load(Document("<Persist Folder=\"" + folder + "\"/>")), kOk);
  EXPECT_EQ(settings_.PersistSync, SyncMode::kSecond);

  const struct {
    std::string attributes;
    std::string described;
  } refused[] = {
      {"", "Persist Folder \"\" is missing"},
      {"Folder=\"/no/such/folder\"",
       "Persist Folder \"/no/such/folder\" does not exist"},
      {"Folder=\"" + path_ + "\"", " is not a folder"},
      {"Folder=\"relative\"",
       "Persist Folder \"relative\" is not an absolute path"},
      {"Folder=\"/" + std::string(255, 'a') + "\"", "is longer than 255 bytes"},
      {"Folder=\"" + folder + "\" Sync=\"Always\"",
       "Persist Sync \"Always\" is neither \"second\" nor \"always\""},
  };
  for (const auto& [attributes, described] : refused) {
    SCOPED_TRACE(attributes);
    WriteFile(Document("<Persist " + attributes + "/>"));
    Settings settings;
    uint64_t memoryMax = 0;
    SettingsProblem problem;
    EXPECT_LT(LoadSettings(path_.c_str(), settings, memoryMax, &problem), 0);
    EXPECT_NE(problem.Describe().find(described), std::string::npos)
        << problem.Describe();
    EXPECT_STREQ(settings.PersistFolder, "");
  }
}

}  // namespace
}  // namespace pendrakel
