// Decisions taken from a model's description: which "Drivers" element fits the system, what
// a driver pass checks, loads and unloads, release numbers of USB entries, and the port
// rules that type a serial port.

#include "devices/device_common.h"

#include <gtest/gtest.h>

#include <thread>

#include "devices/device_ports.h"
#include "devices/device_test_fixture.h"
#include "platform/assert.h"

namespace {

using namespace device_testing;

QPX_Framework_XML_Element Parse(const std::string& xml) {
  return QPX_Framework_XML_Document_LoadFromString(xml);
}

std::string Chosen(const std::string& device, unsigned major, unsigned minor) {
  const QPX_Framework_XML_Element drivers =
      QPX_Framework_Device_Common::ChooseDrivers(Parse(device), major, minor);
  return drivers ? drivers.QPX_Framework_XML_Element_GetAttributeValue("Directory").value_or("?") : "none";
}

TEST(DeviceCommonTest, ChoosesTheDriversElementForTheSystem) {
  const std::string mixed = R"(<Device>
      <Drivers SystemVersion="10.5" Directory="five"/>
      <Drivers SystemVersion="10.6" Directory="six"/>
      <Drivers Directory="any"/></Device>)";
  const std::string older = R"(<Device>
      <Drivers SystemVersion="10.4" Directory="four"/>
      <Drivers SystemVersion="10.5" Directory="five"/>
      <Drivers SystemVersion="10.5" Directory="five-again"/></Device>)";
  const std::string unversionedFirst = R"(<Device>
      <Drivers Directory="any"/>
      <Drivers SystemVersion="10.4" Directory="four"/>
      <Drivers SystemVersion="11.0" Directory="eleven"/>
      <Drivers SystemVersion="junk" Directory="junk"/></Device>)";
  struct Case {
    const std::string* xml;
    unsigned major, minor;
    const char* expected;
  } cases[] = {
      {&mixed, 10, 6, "six"},                // exact match wins
      {&mixed, 10, 7, "any"},                // the unversioned element before any exact match
      {&older, 10, 6, "five"},               // highest lower minor, first of equals
      {&older, 10, 3, "none"},               // only higher minors
      {&older, 11, 6, "none"},               // other major
      {&unversionedFirst, 10, 6, "any"},     // lower minors lose once an unversioned one was seen
      {&unversionedFirst, 11, 0, "eleven"},  // exact match after an unversioned one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    EXPECT_EQ(Chosen(*c.xml, c.major, c.minor), c.expected);
  }
}

TEST(DeviceCommonTest, DriverDirectoryFallsBackFromDriversToDevice) {
  struct Case {
    const char* xml;
    const char* expected;
  } cases[] = {
      {R"(<Device Name="n" Directory="d"><Drivers Directory="x"/></Device>)", "x"},
      {R"(<Device Name="n" Directory="d"><Drivers/></Device>)", "d"},
      {R"(<Device Name="n"><Drivers/></Device>)", "n"},
      {R"(<Device/>)", "."},
  };
  for (const Case& c : cases) {
    QPX_Framework_Device_Common common;
    common.QPX_Framework_Device_Common_Init(Parse(c.xml), Value(), false, Value());
    EXPECT_EQ(common.QPX_Framework_Device_Common_DriverDir(), c.expected) << c.xml;
  }
}

TEST(DeviceCommonTest, ReleaseNumbers) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> expected;
  } cases[] = {
      {"1.2.3", 0x0123},         {"2", 0x0200},         {"2.0", 0x0200},
      {"0.0.1", 0x0001},         {"1.x", std::nullopt}, {"", std::nullopt},
      {"1.2.3.4", std::nullopt}, {"1.", std::nullopt},  {"-1", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QPX_Framework_Device_USB::ParseReleaseNumber(c.text), c.expected) << c.text;
}

TEST(DeviceCommonTest, PortRulesTypeAPort) {
  const QPX_Framework_XML_Element device = Parse(R"(<Device>
      <Port Type="modem">
        <Match Property="IOTTYSuffix" Value="*modem*"/>
        <Match Property="Missing"/>
        <Match Property="bInterfaceNumber" Value="3" Parent="2"/>
      </Port>
      <Port Type="Application">
        <Match Property="IOTTYSuffix" Value="*Modem*"/>
        <Match Property="bInterfaceNumber" Value="one" Parent="2"/>
        <Match Property="idVendor" Value="4660" Parent="9"/>
      </Port>
      <Port Type="Diagnostics"><Match Property="IOTTYSuffix" Value="Diag"/></Port></Device>)");
  // port <- driver <- interface <- device
  auto usb = std::make_shared<platform::usb::Entry>(std::vector<std::string>{"IOUSBDevice"},
                                                    Value{{"idVendor", Value(0x1234)}}, nullptr);
  auto portOn = [&](int interface, const std::string& suffix) {
    auto iface = std::make_shared<platform::usb::Entry>(std::vector<std::string>{"IOUSBInterface"},
                                                        Value{{"bInterfaceNumber", Value(interface)}}, usb);
    auto driver = std::make_shared<platform::usb::Entry>(std::vector<std::string>{"Driver"}, Value(), iface);
    return std::make_shared<platform::usb::Entry>(std::vector<std::string>{"IOSerialBSDClient"},
                                                  Value{{"IOTTYSuffix", Value(suffix)}}, driver);
  };
  struct Case {
    int interface;
    const char* suffix;
    int expected;
  } cases[] = {
      {1, "Modem Port A", QPX_PortType_Modem},  // text compared without regard to case; first Port wins
      {3, "x", QPX_PortType_Modem},             // number at two levels up
      {0, "x", QPX_PortType_Application},       // "one" counts as 0
      {5, "Diag", QPX_PortType_None},           // a Port of no known type identifies nothing
      {5, "x", QPX_PortType_None},              // Parent beyond the chain: skipped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.interface) + " " + c.suffix);
    EXPECT_EQ(QPX_Framework_Device_Ports::TypeOfPort(device, portOn(c.interface, c.suffix)), c.expected);
  }
  EXPECT_STREQ(QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(1), "Application Port");
  EXPECT_STREQ(QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(2), "Modem Port");
  EXPECT_EQ(QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(0), nullptr);
}

// Driver passes run off the main thread; the fixture's thread is the main thread.
class DriverPassTest : public DeviceLayerTest {
 protected:
  std::shared_ptr<QPX_Framework_Device_Common> Model(const std::string& drivers) {
    const QPX_Framework_XML_Element device =
        Parse("<Device Name=\"M\" Directory=\"Dir\">" + drivers + "</Device>");
    auto common = std::make_shared<QPX_Framework_Device_Common>();
    common->QPX_Framework_Device_Common_Init(device, Value(), true, Value());
    common->XML.Drivers = device.QPX_Framework_XML_Element_GetChild("Drivers");
    return common;
  }
  bool Pass(const std::shared_ptr<QPX_Framework_Device_Common>& common, const Value& safe, bool check) {
    bool answer = false;
    std::thread([&] { answer = common->LoadDrivers(safe, check, {}); }).join();
    return answer;
  }
  std::vector<std::string> Sent() {
    std::vector<std::string> sent;
    for (const Value& request : Requests())
      sent.push_back(request.get("Command").string() + " " + request.get("Kext").string());
    return sent;
  }
};

TEST_F(DriverPassTest, CheckModeAsksWhetherEverythingIsInstalledForInstallOnly) {
  const auto common = Model(R"(<Drivers>
      <Driver KEXT="a.ko" When="Install"/>
      <Driver KEXT="b.ko" When="Install" NDIS="no"/>
      <Driver KEXT="c.ko" When="Load" NDIS="Vendor"/></Drivers>)");
  const Value noNDIS = Value::EmptyDictionary();
  const Value vendorNDIS = Value{{"NDIS", Value{{"Type", Value("Vendor")}}}};
  EXPECT_FALSE(Pass(common, noNDIS, true));  // a.ko is not installed
  kmod_->installed = {"a.ko", "b.ko"};
  EXPECT_TRUE(Pass(common, noNDIS, true));
  EXPECT_FALSE(Pass(common, vendorNDIS, true));  // c.ko applies and is for "Load"
  EXPECT_TRUE(Pass(common, Value{{"NDIS", Value::EmptyDictionary()}}, true));
  EXPECT_TRUE(Requests().empty());
  EXPECT_TRUE(Pass(Model(""), noNDIS, true));  // no "Drivers": nothing to do
}

TEST_F(DriverPassTest, LoadModeUnloadsThenLoadsWhatIsMissing) {
  QPX_Framework_Device_SetKernel64Bit(true);
  const auto common = Model(R"(<Drivers Reenumerate="no">
      <Unload KEXT="old.ko"/>
      <Unload KEXT="gone.ko"/>
      <Unload KEXT="unknown.ko"/>
      <Driver KEXT="present.ko"/>
      <Driver KEXT="new.ko" When="Load"/>
      <Driver KEXT="setup.ko" When="Install"/>
      <Driver KEXT="thirtytwo.ko" Bits="32"/>
      <Driver KEXT="sixtyfour.ko" Bits="64" NDIS="no"/></Drivers>)");
  kmod_->loaded = {"Dir/old.ko", "Dir/present.ko"};
  kmod_->unknown = {"Dir/unknown.ko"};
  EXPECT_TRUE(Pass(common, Value::EmptyDictionary(), false));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"Unload Driver Dir/old.ko", "Unload Driver Dir/unknown.ko",
                                              "Load Driver Dir/new.ko", "Load Driver Dir/sixtyfour.ko"}));
  QPX_Framework_Device_SetKernel64Bit(std::nullopt);
}

TEST_F(DriverPassTest, BitsOtherThan32Or64AreAnError) {
  EXPECT_TRUE(QPX_Framework_Device_Common::CheckDriverBits(Parse(R"(<Driver KEXT="a"/>)")));
  EXPECT_THROW(QPX_Framework_Device_Common::CheckDriverBits(Parse(R"(<Driver Bits="16"/>)")),
               platform::AssertionFailure);
  QPX_Framework_Device_SetKernel64Bit(false);
  EXPECT_TRUE(QPX_Framework_Device_Common::CheckDriverBits(Parse(R"(<Driver Bits="32"/>)")));
  EXPECT_FALSE(QPX_Framework_Device_Common::CheckDriverBits(Parse(R"(<Driver Bits="64"/>)")));
  QPX_Framework_Device_SetKernel64Bit(std::nullopt);
}

TEST_F(DriverPassTest, DriverPassesRefuseTheMainThread) {
  const auto common = Model(R"(<Drivers><Driver KEXT="a.ko"/></Drivers>)");
  EXPECT_THROW(common->LoadDrivers(Value::EmptyDictionary(), true, {}), platform::AssertionFailure);
}

}  // namespace
