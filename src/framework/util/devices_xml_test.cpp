#include "framework/util/devices_xml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "framework/core/log.h"
#include "framework/core/storage.h"
#include "platform/assert.h"
#include "platform/thread_context.h"
#include "testing/test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

// Collects the log entries of errors while it lives.
class ErrorLog {
 public:
  ErrorLog() {
    Entries().clear();
    previous_ = QPX_Framework_Log_UserLog.exchange(&Receive);
  }
  ~ErrorLog() { QPX_Framework_Log_UserLog.store(previous_); }
  static std::vector<std::string>& Entries() {
    static std::vector<std::string> entries;
    return entries;
  }

 private:
  static void Receive(const char*, unsigned, const char*, const char*, double, int level, const char* format,
                      va_list args) {
    if (level != QPX_LOG_ERROR) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    Entries().push_back(text);
  }
  QPX_Framework_Log_Receiver previous_;
};

std::vector<std::string> RootNames(const std::vector<QPX_Framework_XML_Element>& roots) {
  std::vector<std::string> names;
  for (const auto& root : roots)
    names.push_back(root.QPX_Framework_XML_Element_GetAttributeValue("id").value_or("?"));
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReadDevicesXML, ReadsTheResourcesFileAndOnePerDriverFolder) {
  TempDir resources;
  WriteFile(resources / "Devices.xml", "<Devices id=\"main\"/>");
  WriteFile(resources / "Drivers/Alpha/Devices.xml", "<Devices id=\"alpha\"/>");
  WriteFile(resources / "Drivers/Beta/Readme.txt", "no description here");
  WriteFile(resources / "Drivers/Gamma/Devices.xml", "<Devices id=\"gamma\"/>");
  WriteFile(resources / "Drivers/loose-file", "not a folder");
  {
    ErrorLog log;
    EXPECT_EQ(RootNames(QPX_Framework_ReadDevicesXML(resources.path())),
              (std::vector<std::string>{"alpha", "gamma", "main"}));
    EXPECT_EQ(ErrorLog::Entries(), std::vector<std::string>{});  // the folders without a file say nothing
  }

  WriteFile(resources / "Drivers/Gamma/Devices.xml", "<Devices id=\"gamma\">");
  EXPECT_EQ(RootNames(QPX_Framework_ReadDevicesXML(resources.path())),
            (std::vector<std::string>{"alpha", "main"}));
}

TEST(ReadDevicesXML, WithoutDriversOnlyTheResourcesFile) {
  TempDir resources;
  EXPECT_TRUE(QPX_Framework_ReadDevicesXML(resources.path()).empty());
  WriteFile(resources / "Devices.xml", "<Devices id=\"main\"/>");
  EXPECT_EQ(RootNames(QPX_Framework_ReadDevicesXML(resources.path())), std::vector<std::string>{"main"});
}

class QuirkTest : public ::testing::Test {
 protected:
  QuirkTest() {
    EXPECT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    modem_ = QPX_Framework_Storage_CreateNode("/QuirkTest/Modem");
    modem_->setObject(Value("E220"), "QPX CGMM");
    modem_->setObject(Value("11.117.10.02.00"), "QPX CGMR");
    modem_->setObject(Value(7), "QPX Number");
    description_ = QPX_Framework_XML_Document_LoadFromString(R"(
      <Quirks>
        <Everyone/>
        <TwoModels><Device Key="QPX CGMM" Value="E1550"/><Device Key="QPX CGMR" Value="11.117.10.02.00"/></TwoModels>
        <OtherModels><Device Key="QPX CGMM" Value="E1550"/><Device Key="QPX CGMM" Value="e220"/></OtherModels>
        <KeyOnly><Device Key="QPX CGMM"/></KeyOnly>
        <ValueOnly><Device Value="E220"/></ValueOnly>
        <NotAString><Device Key="QPX Number" Value="7"/></NotAString>
      </Quirks>)");
    Value quirks = Value::EmptyDictionary();
    for (const auto& quirk : description_.QPX_Framework_XML_Element_GetChildren())
      quirks.set(quirk.Name(), QPX_Framework_XML_ElementValue(quirk));
    modem_->setObject(quirks, QPX_Framework_ModemQuirks_Key);
  }
  ~QuirkTest() override {
    platform::CurrentThreadContext().dictionary.remove("QPX Current Modem");
    QPX_Framework_Root_Storage->RemoveNode("/QuirkTest");
  }

  QPX_Framework_StoragePtr modem_;
  QPX_Framework_XML_Element description_;
};

TEST_F(QuirkTest, AQuirkAppliesWhenOneOfItsDevicesMatches) {
  struct Case {
    const char* quirk;
    bool applies;
  } cases[] = {
      {"Everyone", true},   {"TwoModels", true},   {"OtherModels", false}, {"KeyOnly", false},
      {"ValueOnly", false}, {"NotAString", false}, {"Unknown", false},
  };
  for (const Case& c : cases) {
    const QPX_Framework_XML_Element element = QPX_Framework_CheckQuirk_Device(modem_, c.quirk);
    EXPECT_EQ(static_cast<bool>(element), c.applies) << c.quirk;
    if (c.applies) {
      EXPECT_EQ(element.Name(), c.quirk);
    }
  }
}

TEST_F(QuirkTest, WithoutANodeTheCurrentModemIsAsked) {
  EXPECT_FALSE(QPX_Framework_CheckQuirk_Device(nullptr, "Everyone"));
  platform::CurrentThreadContext().dictionary.set("QPX Current Modem", Value::Object(modem_));
  EXPECT_TRUE(QPX_Framework_CheckQuirk_Device(nullptr, "Everyone"));

  const QPX_Framework_StoragePtr plain = QPX_Framework_Storage_CreateNode("/QuirkTest/Plain");
  EXPECT_FALSE(QPX_Framework_CheckQuirk_Device(plain, "Everyone"));
}

TEST_F(QuirkTest, QuirksOfTheWrongKindAreProgrammingErrors) {
  modem_->setObject(Value{{"Everyone", Value("yes")}}, QPX_Framework_ModemQuirks_Key);
  EXPECT_THROW(QPX_Framework_CheckQuirk_Device(modem_, "Everyone"), platform::AssertionFailure);
  modem_->setObject(Value("Everyone"), QPX_Framework_ModemQuirks_Key);
  EXPECT_THROW(QPX_Framework_CheckQuirk_Device(modem_, "Everyone"), platform::AssertionFailure);
}

TEST(XMLDelay, ReadsDecimalSeconds) {
  struct Case {
    const char* value;  // null: no attribute
    std::uint32_t microseconds;
  } cases[] = {
      {"0.25", 250000},
      {"2", 2000000},
      {" +1.5s", 1500000},
      {"0", 0},
      {"-1", 0},
      {"1e-7", 0},
      {"abc", 0},
      {"", 0},
      {"5000", 4294967295u},
      {"1e400", 4294967295u},
      {"-1e400", 0},
      {"nan", 0},
      {nullptr, 0},
  };
  for (const Case& c : cases) {
    QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create("Device");
    if (c.value != nullptr) element.QPX_Framework_XML_Element_AddAttribute("PreSwitchDelay", c.value);
    EXPECT_EQ(QPX_Framework_XMLDelay_Microseconds(element, "PreSwitchDelay"), c.microseconds)
        << (c.value ? c.value : "(none)");
  }
  QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create("Device");
  element.QPX_Framework_XML_Element_AddAttribute("PreUseDelay", "0.000001");
  _QPX_Framework_XMLDelay(element, "PreUseDelay");
  _QPX_Framework_XMLDelay(element, "Absent");
  _QPX_Framework_XMLDelay(QPX_Framework_XML_Element(), "PreUseDelay");
}

TEST(XMLElementValue, CarriesAnElementInARecord) {
  QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create("Quirk");
  const Value value = QPX_Framework_XML_ElementValue(element);
  EXPECT_TRUE(value.isObject());
  EXPECT_EQ(QPX_Framework_XML_ElementFromValue(value), element);
  EXPECT_TRUE(QPX_Framework_XML_ElementValue(QPX_Framework_XML_Element()).isNull());
  EXPECT_FALSE(QPX_Framework_XML_ElementFromValue(Value("Quirk")));
}

}  // namespace
