#include "framework/util/profiles.h"

#include <gtest/gtest.h>

#include <set>

#include "framework/core/storage.h"
#include "platform/assert.h"
#include "platform/thread_context.h"
#include "testing/test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

const char* const kProductFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<Networks>
  <Network IMSI="26201" VOQ="10"><Name>Short</Name></Network>
  <Network IMSI="2620123" VOQ="11"><Name>Long</Name></Network>
  <Network IMSI="2629"><Name>Country only</Name></Network>
  <Network IMSI="26207" VOQ="20"><Name>Product 26207</Name></Network>
  <Network IMSI="2620777" VOQ="21"><Name>Product 2620777</Name></Network>
  <Network IMSI="23410" VOQ="7"><Name>Seven</Name></Network>
  <Network IMSI="23410" VOQ="3"><Name>Three</Name></Network>
  <Network IMSI="23410"><Name>None</Name></Network>
  <Network IMSI="23410" VOQ="5"><Name>Five</Name></Network>
  <Network IMSI="20801" VOQ="">
    <Name>Full</Name>
    <SMS-SC>+33600000000</SMS-SC>
    <GPRS>
      <APN>apn.example</APN>
      <User>user</User>
      <Password>secret</Password>
      <Proxy-File>http://proxy.example/proxy.pac</Proxy-File>
      <HTTP-Proxy>proxy.example:8080</HTTP-Proxy>
      <DNS><Server>192.0.2.1</Server><Server></Server><Server>192.0.2.2</Server></DNS>
      <AskCredentials/>
    </GPRS>
  </Network>
  <Network IMSI="20802"><Name></Name><GPRS><APN></APN><DNS/></GPRS></Network>
</Networks>
)";

const char* const kProjectFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<Networks>
  <Network IMSI="26207" VOQ="30"><Name>Operator 26207</Name></Network>
  <Network IMSI="262077" VOQ="31"><Name>Operator 262077</Name></Network>
</Networks>
)";

const char* const kPhonesFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<PHONES>
  <DEVICE VOQ="1"><CGMM>E220</CGMM><CGMI>huawei</CGMI></DEVICE>
  <DEVICE VOQ="2" LTE="yes"><CGMM>E3276</CGMM><CGMI>HUAWEI TECHNOLOGIES CO., LTD.</CGMI></DEVICE>
  <DEVICE VOQ="3" LTE="no"><CGMM>MF190</CGMM><CGMI>ZTE INCORPORATED</CGMI></DEVICE>
  <DEVICE VOQ="4"><CGMM>MF190</CGMM><CGMI>ZTE INCORPORATED</CGMI></DEVICE>
  <DEVICE VOQ="5"><CGMI>nameless</CGMI></DEVICE>
</PHONES>
)";

class ProfilesTest : public ::testing::Test {
 protected:
  ProfilesTest() {
    WriteFile(dir_ / "Networks-VOQ.xml", kProductFile);
    WriteFile(dir_ / "Networks-Project.xml", kProjectFile);
    WriteFile(dir_ / "VOQPhones.xml", kPhonesFile);
    _QPX_Framework_Profiles_SetResourcesFolder(dir_.path());
  }
  ~ProfilesTest() override {
    _QPX_Framework_Profiles_SetResourcesFolder(std::nullopt);
    platform::CurrentThreadContext().dictionary.remove("QPX Current Modem");
  }

  static std::string NameOf(const Value& profile) {
    return profile.get(QPX_Framework_Proflle_Name_Key).string();
  }

  TempDir dir_;
};

TEST_F(ProfilesTest, TheLongestPrefixOfFiveOrMoreCharactersWins) {
  struct Case {
    const char* imsi;
    const char* name;  // null: nothing found
  } cases[] = {
      {"262012345678901", "Long"},             // 7 characters beat 5
      {"262019999999999", "Short"},            // only the 5-character entry fits
      {"262999999999999", nullptr},            // a 4-character prefix is never tried
      {"262077123456789", "Operator 262077"},  // a longer operator prefix
      {"262077712345678", "Product 2620777"},  // a longer product prefix beats a shorter operator one
      {"262071234567890", "Operator 26207"},   // at equal length the operator file wins
      {"26201", "Short"},                      // the whole IMSI is a prefix too
      {"2620", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    const Value profile = QPX_Framework_DefaultProfile(std::string(c.imsi));
    if (c.name == nullptr)
      EXPECT_TRUE(profile.isNull()) << c.imsi << ": " << profile.Description();
    else
      EXPECT_EQ(NameOf(profile), c.name) << c.imsi;
    // Asking again (now from the cache) gives the same answer.
    EXPECT_EQ(QPX_Framework_DefaultProfile(std::string(c.imsi)), profile) << c.imsi;
  }
  EXPECT_EQ(
      QPX_Framework_DefaultProfile(std::string("262071234567890")).get(QPX_Framework_Proflle_Source_Key),
      Value(3));
  EXPECT_EQ(
      QPX_Framework_DefaultProfile(std::string("262019999999999")).get(QPX_Framework_Proflle_Source_Key),
      Value(2));
}

TEST_F(ProfilesTest, NetworksSharingAPrefixAreKeptInProductNumberOrder) {
  const Value entry = QPX_Framework_GetProfile("234101234567890");
  ASSERT_TRUE(entry.isArray());
  std::vector<std::string> names;
  for (const Value& profile : entry.array()) names.push_back(NameOf(profile));
  EXPECT_EQ(names, (std::vector<std::string>{"Three", "Five", "Seven", "None"}));

  EXPECT_EQ(NameOf(QPX_Framework_DefaultProfile(std::string("234101234567890"))), "Three");
  EXPECT_EQ(QPX_Framework_GetVOQID(std::string("234101234567890")), Value(3));
  EXPECT_EQ(QPX_Framework_GetVOQName(std::string("234101234567890")), Value("Three"));
  EXPECT_TRUE(QPX_Framework_GetVOQID(std::nullopt).isNull());
  EXPECT_TRUE(QPX_Framework_GetVOQName(std::string("999990000000000")).isNull());
}

TEST_F(ProfilesTest, ARecordHoldsWhatItsElementsGive) {
  const Value full = QPX_Framework_DefaultProfile(std::string("208011234567890"));
  const Value expectedGPRS{
      {"APN", Value("apn.example")},
      {"User", Value("user")},
      {"Password", Value("secret")},
      {"Proxy File", Value("http://proxy.example/proxy.pac")},
      {"HTTP Proxy", Value("proxy.example:8080")},
      {"DNS", Value(Value::Array{Value("192.0.2.1"), Value("192.0.2.2")})},
      {"Ask Credentials", Value(true)},
  };
  const Value expected{
      {"Source", Value(2)},    {"IMSI", Value("20801")},
      {"Name", Value("Full")}, {"SMS-SC", Value("+33600000000")},
      {"GPRS", expectedGPRS},
  };
  EXPECT_EQ(full, expected) << full.Description();  // an empty "VOQ" gives no "VOQ ID"

  // Empty elements give nothing, and a "GPRS" element that gives nothing no dictionary.
  const Value bare = QPX_Framework_DefaultProfile(std::string("208021234567890"));
  EXPECT_EQ(bare, (Value{{"Source", Value(2)}, {"IMSI", Value("20802")}})) << bare.Description();
}

TEST_F(ProfilesTest, TheCurrentModemsIMSIIsTheDefault) {
  EXPECT_TRUE(QPX_Framework_DefaultProfile().isNull());  // no current modem
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  const QPX_Framework_StoragePtr modem = QPX_Framework_Storage_CreateNode("/ProfilesTest/Modem");
  platform::CurrentThreadContext().dictionary.set("QPX Current Modem", Value::Object(modem));
  EXPECT_TRUE(QPX_Framework_DefaultProfile().isNull());  // no IMSI read yet
  modem->setObject(Value("262012345678901"), "QPX CIMI");
  EXPECT_EQ(NameOf(QPX_Framework_DefaultProfile()), "Long");
  QPX_Framework_Root_Storage->RemoveNode("/ProfilesTest");
}

TEST_F(ProfilesTest, ProfileFilesThatGiveNothing) {
  EXPECT_EQ(_QPX_Framework_LoadProfileFile(dir_ / "missing.xml", 2), Value::EmptyDictionary());
  WriteFile(dir_ / "other-root.xml", "<Profiles><Network IMSI=\"26201\"/></Profiles>");
  EXPECT_EQ(_QPX_Framework_LoadProfileFile(dir_ / "other-root.xml", 3), Value::EmptyDictionary());
  WriteFile(dir_ / "broken.xml", "<Networks><Network IMSI=\"26201\">");
  EXPECT_EQ(_QPX_Framework_LoadProfileFile(dir_ / "broken.xml", 3), Value::EmptyDictionary());

  WriteFile(dir_ / "short.xml", "<Networks><Network IMSI=\"262\"/></Networks>");
  EXPECT_THROW(_QPX_Framework_LoadProfileFile(dir_ / "short.xml", 2), platform::AssertionFailure);
  EXPECT_THROW(_QPX_Framework_LoadProfileFile(dir_ / "broken.xml", 4), platform::AssertionFailure);

  EXPECT_EQ(QPX_Framework_GetProjectProfiles().keys(), (std::vector<std::string>{"26207", "262077"}));
}

TEST_F(ProfilesTest, ModelsAreFoundAcrossManufacturerSpellings) {
  struct Case {
    std::optional<std::string> model;
    std::optional<std::string> manufacturer;
    int id;
  } cases[] = {
      {"E220", "huawei", 1},
      {"E220", "HUAWEI TECHNOLOGIES CO., LTD.", 1},
      {"E3276", "huawei", 2},
      {"E3276", "HUAWEI TECHNOLOGIES CO., LTD.", 2},
      {"E220", "Huawei", 999999},        // the spellings are compared exactly
      {"MF190", "ZTE INCORPORATED", 4},  // a later entry with the same key replaces the first
      {std::nullopt, "nameless", 5},
      {"E220", std::nullopt, 999999},
  };
  for (const Case& c : cases) {
    const Value record = QPX_Framework_GetVOQPhone(c.model, c.manufacturer);
    EXPECT_EQ(record.get(QPX_Framework_VOQPhone_VOQID_Key), Value(c.id))
        << c.model.value_or("-") << "/" << c.manufacturer.value_or("-");
  }
  EXPECT_EQ(QPX_Framework_GetVOQPhone(std::string("E3276"), std::string("huawei")).get("LTE"), Value(true));
  EXPECT_TRUE(QPX_Framework_GetVOQPhone(std::string("E220"), std::string("huawei")).get("LTE").isNull());
  EXPECT_TRUE(
      QPX_Framework_GetVOQPhone(std::string("MF190"), std::string("ZTE INCORPORATED")).get("LTE").isNull());
}

TEST_F(ProfilesTest, AnUnknownModelGetsAProductNumberOfItsOwnThatStays) {
  const Value first = QPX_Framework_GetVOQPhone(std::string("K3765"), std::string("Vendor"));
  EXPECT_EQ(first, (Value{{"CGMM", Value("K3765")}, {"CGMI", Value("Vendor")}, {"VOQ ID", Value(999999)}}));
  EXPECT_EQ(QPX_Framework_GetVOQPhone(std::string("K3765"), std::string("Vendor")), first);
  EXPECT_EQ(QPX_Framework_GetVOQPhone(std::nullopt, std::nullopt), (Value{{"VOQ ID", Value(999999)}}));
}

TEST(ParseVOQXML, ReadsUTF8OrWindows1251Fragments) {
  QPX_Framework_XML_Element root = QPX_Framework_ParseVOQXML("<Status>OK</Status><Text>Grüße</Text>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root.Name(), "VOQ");
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetStringChild("Status"), "OK");
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetStringChild("Text"), "Grüße");

  // "Привет №1" in code page 1251.
  root = QPX_Framework_ParseVOQXML("<Text>\xCF\xF0\xE8\xE2\xE5\xF2 \xB9\x31</Text>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetStringChild("Text"), "Привет №1");

  EXPECT_FALSE(QPX_Framework_ParseVOQXML("<Text>\x98</Text>"));  // neither encoding
  EXPECT_FALSE(QPX_Framework_ParseVOQXML("<Text>open"));
  EXPECT_FALSE(QPX_Framework_ParseVOQXML("</VOQ><VOQ>"));
  ASSERT_TRUE(QPX_Framework_ParseVOQXML(""));
}

TEST(CombineTechnology, MergesLinesOfOneNetworkAcrossTechnologies) {
  auto network = [](const char* imsi, const char* name, int status, int rat) {
    Value entry{
        {"Name", Value(name)}, {"Short Name", Value("S")}, {"Status", Value(status)}, {"RAT", Value(rat)}};
    if (imsi != nullptr) entry.set("IMSI", Value(imsi));
    return entry;
  };
  const Value scan(Value::Array{
      network("26201", "Telekom", 1, 0), network(nullptr, "Hidden", 1, 2), network("26201", "Telekom", 1, 2),
      network("26202", "Vodafone", 1, 7),
      network("26201", "Telekom", 2, 7),  // another status: a network of its own
      network("26201", "Telekom", 1, 2),  // seen twice on one technology
  });
  const Value combined = QPX_Framework_Networks_CombineTechnology(scan);
  ASSERT_EQ(combined.size(), 4u) << combined.Description();
  EXPECT_EQ(combined.at(0), (Value{{"Name", Value("Hidden")},
                                   {"Short Name", Value("S")},
                                   {"Status", Value(1)},
                                   {"RAT", Value(4)},
                                   {"Combined", Value(4)}}));
  std::map<std::string, Value> byKey;
  for (std::size_t i = 1; i < combined.size(); ++i) {
    const Value& entry = combined.at(i);
    byKey[entry.get("IMSI").string() + "/" + entry.get("Status").Description()] = entry;
  }
  EXPECT_EQ(byKey["26201/1"].get("RAT"), Value(5));
  EXPECT_EQ(byKey["26201/1"].get("Combined"), Value(5));
  EXPECT_EQ(byKey["26201/2"].get("Combined"), Value(128));
  EXPECT_EQ(byKey["26202/1"].get("RAT"), Value(128));
  EXPECT_EQ(byKey["26202/1"].get("Name"), Value("Vodafone"));

  EXPECT_THROW(QPX_Framework_Networks_CombineTechnology(Value(Value::Array{Value{{"IMSI", Value(26201)}}})),
               platform::AssertionFailure);
}

// The files the bundle ships.
TEST(ShippedProfiles, EveryNetworkHasANamePrefixAndAccessPoint) {
  const std::string folder = DASHBOARD_SOURCE_RESOURCES;
  std::set<std::string> prefixes;
  for (const auto& [file, source] :
       {std::pair{"/Networks-VOQ.xml", 2}, std::pair{"/Networks-Project.xml", 3}}) {
    const Value table = _QPX_Framework_LoadProfileFile(folder + file, source);
    ASSERT_FALSE(table.empty()) << file;
    for (const auto& [prefix, entry] : table.dictionary()) {
      prefixes.insert(prefix);
      EXPECT_GE(prefix.size(), 5u) << prefix;
      const Value records = entry.isArray() ? entry : Value(Value::Array{entry});
      for (const Value& record : records.array()) {
        EXPECT_FALSE(record.get("Name").string().empty()) << prefix;
        EXPECT_FALSE(record.get("GPRS").get("APN").string().empty()) << prefix;
        EXPECT_TRUE(record.get("VOQ ID").isNumber()) << prefix;
      }
    }
  }
  EXPECT_GE(prefixes.size(), 10u);
}

TEST(ShippedProfiles, ModelsAndOperatorChoices) {
  _QPX_Framework_Profiles_SetResourcesFolder(std::string(DASHBOARD_SOURCE_RESOURCES));
  const Value vodafone = QPX_Framework_GetProfile("262021234567890");
  ASSERT_TRUE(vodafone.isArray());
  EXPECT_EQ(vodafone.at(0).get("Source"), Value(3));
  EXPECT_EQ(QPX_Framework_DefaultProfile(std::string("262021234567890")).get("GPRS").get("APN"),
            Value("web.vodafone.de"));
  EXPECT_EQ(QPX_Framework_DefaultProfile(std::string("310410123456789")).get("GPRS").get("APN"),
            Value("broadband"));

  const Value e3276 = QPX_Framework_GetVOQPhone(std::string("E3276"), std::string("huawei"));
  EXPECT_NE(e3276.get("VOQ ID"), Value(999999));
  EXPECT_EQ(e3276.get("LTE"), Value(true));
  const Value e173 =
      QPX_Framework_GetVOQPhone(std::string("E173"), std::string("HUAWEI TECHNOLOGIES CO., LTD."));
  EXPECT_NE(e173.get("VOQ ID"), Value(999999));
  EXPECT_TRUE(e173.get("LTE").isNull());
  _QPX_Framework_Profiles_SetResourcesFolder(std::nullopt);
}

}  // namespace
