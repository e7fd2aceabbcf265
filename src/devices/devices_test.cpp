// The device layer against the simulated USB registry and disk arbitration: a plugged modem
// is recognised, its CD refused and switched, the switched modem's ports typed and its
// modem launched; unknown devices are left alone; an unplug removes what was made.

#include "devices/devices.h"

#include <gtest/gtest.h>

#include "devices/device_ports.h"
#include "devices/device_progress.h"
#include "devices/device_storage.h"
#include "devices/device_test_fixture.h"
#include "devices/io_object.h"
#include "devices/ndis.h"
#include "framework/util/devices_xml.h"
#include "platform/assert.h"

namespace {

using namespace device_testing;

const char* const kDevicesXML = R"(<?xml version="1.0"?>
<Devices Bundle="yes" PackageName="Test Pack" PackageVersion="2.0">
  <NDIS Type="TestNDIS"><Class Name="Test_NDIS"/></NDIS>
  <Device Name="Eject Modem" Directory="Eject">
    <USB Vendor="0x1111" Product="0x0001"/>
    <USB Vendor="0x1111" Product="0x0002"><Quirks><PowerDown Scope="entry"/></Quirks></USB>
    <Storage Type="CD" Method="Eject"/>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application">
      <Match Property="IOTTYSuffix" Value="*pcui*"/>
      <Match Property="bInterfaceNumber" Value="2" Parent="2"/>
    </Port>
    <Quirks><CREG2_broken/><PowerDown Scope="model"/></Quirks>
  </Device>
  <Device Name="Longcheer Modem" Directory="LC">
    <USB Vendor="0x2222" Product="0x0001"/>
    <USB Vendor="0x2222" Product="0x0002"/>
    <Storage Type="cd" Method="longcheer"/>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application"><Match Property="bInterfaceNumber" Value="1" Parent="2"/></Port>
  </Device>
  <Device Name="Driver Modem" Directory="Drv">
    <USB Vendor="0x3333" Product="0x0001"/>
    <USB Vendor="0x3333" Product="0x0002"/>
    <Storage Type="CD" Method="Load Drivers"/>
    <Drivers><Driver KEXT="modem.ko" When="Load"/></Drivers>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application"><Match Property="bInterfaceNumber" Value="1" Parent="2"/></Port>
  </Device>
  <Device Name="Web Modem" Directory="Web">
    <USB Vendor="0x4444" Product="0x0001"/>
    <USB Vendor="0x4444" Product="0x0002"/>
    <Storage Type="CD" Method="Huawei HTTP"/>
    <HuaweiHTTP/>
  </Device>
  <Device Name="NDIS Modem" Directory="NDIS">
    <USB Vendor="0x5555" Product="0x0002" NDIS="TestNDIS" NDISMode="allow"/>
    <USB Vendor="0x5555" Product="0x0003" NDIS="TestNDIS"/>
    <USB Vendor="0x5555" Product="0x0004" NDIS="no"/>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application"><Match Property="bInterfaceNumber" Value="1" Parent="2"/></Port>
  </Device>
  <Device Name="Linked Modem" Directory="Linked">
    <USB Vendor="0x6666" Product="0x0001"/>
    <Storage Type="CD" Method="Eject" Other="Linked"/>
  </Device>
</Devices>)";

class TestNDIS final : public QPX_Framework_NDIS {};

class DevicesTest : public DeviceLayerTest {
 protected:
  void SetUp() override {
    DeviceLayerTest::SetUp();
    QPX_Framework_ClassEntry ndis;
    ndis.name = "Test_NDIS";
    ndis.bases = {"QPX_Framework_NDIS"};
    ndis.create = [] { return std::shared_ptr<platform::ValueObject>(std::make_shared<TestNDIS>()); };
    QPX_Framework_ClassRegistry::Register(std::move(ndis));
    ASSERT_TRUE(MakeDevices(kDevicesXML));
  }
  void TearDown() override {
    DeviceLayerTest::TearDown();
    QPX_Framework_ClassRegistry::Unregister("Test_NDIS");
  }

  // The modem-mode announcement of the "Eject Modem" model.
  static Value EjectModemSwitched() {
    return Announcement(
        0x1111, 0x0002,
        {Serial(0, "/dev/sim-modem"), Serial(1, "/dev/sim-diag"), Serial(2, "/dev/sim-pcui")});
  }
};

TEST_F(DevicesTest, KnownModemIsSwitchedByEjectAndLaunchedWithItsModemIDs) {
  sim_->Plug(WithSwitch(Announcement(0x1111, 0x0001, {Media(0, "sr7")}), "Eject", EjectModemSwitched()));
  Pump();
  Settle();

  // The CD was never mounted; it was unmounted and ejected, and the modem came back with its
  // modem identity.
  EXPECT_FALSE(sim_->IsMounted("sr7"));
  EXPECT_EQ(sim_->EjectedDisks(), std::vector<std::string>{"sr7"});
  EXPECT_EQ(RecordOf(0x1111, 0x0001), nullptr);
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x1111, 0x0002);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->Get("USB Vendor String").string(), "Test Maker");
  EXPECT_EQ(main->Get("USB Product String").string(), "Test Stick");
  EXPECT_EQ(main->Get("Bundled Driver Info"),
            (Value{{"Name", Value("Test Pack")}, {"Version", Value("2.0")}}));

  // Ports typed by the model's rules; the diagnostics port matches none.
  EXPECT_EQ(main->Get("Modem Port").string(), "/dev/sim-modem");
  EXPECT_EQ(main->Get("Application Port").string(), "/dev/sim-pcui");

  // Launched: a node below "/Modems" that knows its record and quirks, and a modem thread.
  const std::string id = main->Get("Modem ID").string();
  ASSERT_EQ(id.rfind("/Modems/", 0), 0u);
  EXPECT_EQ(id.size(), std::string("/Modems/").size() + 8);
  const auto node = main->GetObject<QPX_Framework_Storage>("Modem Storage");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node, QPX_Framework_Storage_GetNode(id));
  EXPECT_EQ(QPX_Framework_DeviceRecord::From(node->objectForKey("Modem Device")), main);
  ASSERT_EQ(FakeATThread::Alive().size(), 1u);
  EXPECT_EQ(FakeATThread::Alive()[0]->Main(), main);
  EXPECT_TRUE(FakeATThread::Alive()[0]->IsRunning());
  // The USB entry's quirk overrides its model's of the same name.
  EXPECT_TRUE(QPX_Framework_CheckQuirk_Device(node, "CREG2_broken"));
  EXPECT_EQ(
      QPX_Framework_CheckQuirk_Device(node, "PowerDown").QPX_Framework_XML_Element_GetAttributeValue("Scope"),
      std::optional<std::string>("entry"));

  // Progress: the CD identity detected and registered, its CD switched by "Eject", its
  // record removed; then the modem identity detected and registered and its ports seen.
  const std::vector<int> codes = ReportCodes();
  const std::vector<int> expectedStart = {0, 1, 3, 4};
  ASSERT_GE(codes.size(), 4u);
  EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 4), expectedStart);
  EXPECT_EQ(reports_[3].info.get("Switching Method").string(), "Eject");
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 2), 1);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 6), 3);
  for (const Report& report : reports_)
    if (report.code == 2) {
      EXPECT_FALSE(report.info.contains("Key"));
      EXPECT_EQ(report.info.get("Vendor").toInt(), 0x1111);
      EXPECT_TRUE(report.info.get("SessionID").isNumber());
    }
}

TEST_F(DevicesTest, UnknownDeviceIsIgnored) {
  sim_->Plug(Announcement(0x9999, 0x0001, {Media(0, "sr9"), Serial(1, "/dev/other")}));
  Pump();
  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
  EXPECT_TRUE(sim_->IsMounted("sr9"));  // not ours: its mount is approved
  EXPECT_TRUE(sim_->EjectedDisks().empty());
  EXPECT_TRUE(reports_.empty());
}

TEST_F(DevicesTest, UnplugBeforeLaunchRemovesRecordMediaWatchAndTimers) {
  // No switch: the CD stays until it is ejected, and the device is pulled meanwhile.
  const auto device = sim_->Plug(Announcement(0x6666, 0x0001, {Media(1, "sdz", "Disk")}));
  Pump();
  Settle();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x6666, 0x0001);
  ASSERT_NE(main, nullptr);
  const auto ejectTimer = QPX_Framework_DeviceTimer_From(main->Get("QPX Eject Timer"));
  const auto driverTimer = QPX_Framework_DeviceTimer_From(main->Get("Load Driver Timer"));
  ASSERT_TRUE(ejectTimer && ejectTimer->IsValid());  // the memory card waits for its CD
  ASSERT_TRUE(driverTimer && driverTimer->IsValid());

  ASSERT_TRUE(sim_->Unplug(device));
  Pump();
  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
  EXPECT_FALSE(ejectTimer->IsValid());
  EXPECT_FALSE(driverTimer->IsValid());
  EXPECT_FALSE(main->Contains("QPX Eject Timer"));
  EXPECT_FALSE(main->Contains("Load Driver Timer"));
  EXPECT_TRUE(FakeATThread::Alive().empty());
  const std::vector<int> codes = ReportCodes();
  EXPECT_EQ(codes.back(), 2);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 5), 1);  // the card, once
}

TEST_F(DevicesTest, LinkedStoragesSwitchThroughTheOtherMediumOnceTheCDCame) {
  sim_->Plug(Announcement(0x6666, 0x0001, {Media(0, "sdy", "Disk"), Media(1, "sr6")}));
  Pump();
  Settle();
  // Both media were there together: switched once (the refused CD names the disk that is
  // ejected), without waiting for the timer.
  EXPECT_EQ(sim_->EjectedDisks().size(), 1u);
  const std::vector<int> codes = ReportCodes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 4), 1);
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x6666, 0x0001);
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(main->Contains("QPX Eject Timer"));
  EXPECT_FALSE(main->Contains("QPX CD Object"));
  EXPECT_FALSE(main->Contains("QPX Other Object"));
  EXPECT_FALSE(sim_->IsMounted("sr6"));
}

TEST_F(DevicesTest, LinkedWaitForAMissingCDIsBounded) {
  QPX_Framework_Device_Storage::SetLinkedWaitLimit(2.0);
  sim_->Plug(Announcement(0x6666, 0x0001, {Media(1, "sdx", "Disk")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x6666, 0x0001);
  ASSERT_NE(main, nullptr);
  const auto timer = QPX_Framework_DeviceTimer_From(main->Get("QPX Eject Timer"));
  ASSERT_TRUE(timer && timer->IsValid());
  for (int step = 0; step < 150 && timer->IsValid(); ++step) Advance(0.02);
  EXPECT_FALSE(timer->IsValid());
  EXPECT_FALSE(main->Contains("QPX Eject Timer"));
  EXPECT_TRUE(sim_->EjectedDisks().empty());
  QPX_Framework_Device_Storage::SetLinkedWaitLimit(10.0);
}

TEST_F(DevicesTest, LongcheerDriverIsToldToSwitch) {
  const Value switched = Announcement(0x2222, 0x0002, {Serial(0, "/dev/lc-modem"), Serial(1, "/dev/lc-app")});
  sim_->Plug(WithSwitch(Announcement(0x2222, 0x0001, {Media(0, "sr2", "CD", "com_lct_driver_LJACDDriver")}),
                        "Property", switched, "USBModemMode"));
  Pump();
  Settle();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x2222, 0x0002);
  ASSERT_NE(main, nullptr);
  EXPECT_TRUE(main->Contains("Modem Storage"));
  EXPECT_TRUE(sim_->EjectedDisks().empty());
}

TEST_F(DevicesTest, LoadDriversSwitchesThroughTheDriverTimerAndReenumeration) {
  const Value switched =
      Announcement(0x3333, 0x0002, {Serial(0, "/dev/drv-modem"), Serial(1, "/dev/drv-app")});
  sim_->Plug(WithSwitch(Announcement(0x3333, 0x0001, {Media(0, "sr3")}), "Reenumerate", switched));
  Pump();
  Settle();
  ASSERT_NE(RecordOf(0x3333, 0x0001), nullptr);
  // A "Load" driver makes the check answer NO: the load follows a second later.
  Advance(1.0);
  ASSERT_TRUE(WaitFor([this] { return RecordOf(0x3333, 0x0002) != nullptr; }));
  Settle();
  const std::vector<Value> requests = Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0], (Value{{"Command", Value("Load Driver")}, {"Kext", Value("Drv/modem.ko")}}));
  bool reported = false;
  for (const Report& report : reports_)
    if (report.code == 8) reported = report.info.get("Driver Path").string() == "Drv/modem.ko";
  EXPECT_TRUE(reported);
  EXPECT_TRUE(RecordOf(0x3333, 0x0002)->Contains("Modem Storage"));
  EXPECT_FALSE(sim_->IsMounted("sr3"));
}

TEST_F(DevicesTest, WebInterfaceModemIsSwitchedByThePrivilegedServiceAndLaunchedOnItsInterface) {
  const auto device = sim_->Plug(Announcement(0x4444, 0x0001, {Media(0, "sr4")}));
  Pump();
  Settle();
  bool asked = false;
  for (const Value& request : Requests()) asked |= request == Value{{"Command", Value("Switch HuaweiHTTP")}};
  EXPECT_TRUE(asked);
  // The vendor service switched it: the device comes back as a network interface.
  sim_->Unplug(device);
  sim_->Plug(Announcement(0x4444, 0x0002, {Ethernet(0, "usb7")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x4444, 0x0002);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->Get("HuaweiHTTP BSDName").string(), "usb7");
  EXPECT_TRUE(main->Get("Ethernet Interfaces").contains("usb7"));
  ASSERT_EQ(FakeWebThread::Alive().size(), 1u);
  EXPECT_TRUE(main->Contains("HuaweiHTTP Thread"));
  EXPECT_TRUE(FakeATThread::Alive().empty());
}

TEST_F(DevicesTest, NDISRecordsAndTheLaunchDecision) {
  // Only-if-required NDIS with application and modem ports: NDIS is dropped, dial-up it is.
  sim_->Plug(Announcement(0x5555, 0x0002,
                          {Serial(0, "/dev/n-modem"), Serial(1, "/dev/n-app"), Ethernet(2, "usb5")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr dialUp = RecordOf(0x5555, 0x0002);
  ASSERT_NE(dialUp, nullptr);
  EXPECT_TRUE(dialUp->Contains("Modem Storage"));
  EXPECT_FALSE(dialUp->Contains("NDIS"));

  // Application port and an NDIS interface: launched once the NDIS delay has passed.
  sim_->Plug(Announcement(0x5555, 0x0003, {Serial(1, "/dev/m-app"), Ethernet(2, "usb6")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr ndis = RecordOf(0x5555, 0x0003);
  ASSERT_NE(ndis, nullptr);
  const auto object = ndis->Get("NDIS").get("Instance").objectAs<QPX_Framework_NDIS>();
  ASSERT_NE(object, nullptr);
  EXPECT_FALSE(object->OnlyIfRequired());
  EXPECT_EQ(object->GetEthernet(), std::optional<std::string>("usb6"));
  EXPECT_EQ(ndis->Get("NDIS").get("Type").string(), "TestNDIS");
  Advance(0.0);
  EXPECT_TRUE(ndis->Contains("Modem Storage"));
  EXPECT_FALSE(ndis->Contains("NDIS Delay Timer"));
  EXPECT_EQ(object->GetStorage(), ndis->GetObject<QPX_Framework_Storage>("Modem Storage"));

  // "NDIS"="no": no NDIS entry; an application port alone does not launch.
  sim_->Plug(Announcement(0x5555, 0x0004, {Serial(1, "/dev/o-app"), Ethernet(2, "usb8")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr plain = RecordOf(0x5555, 0x0004);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->Contains("NDIS"));
  EXPECT_FALSE(plain->Contains("Modem Storage"));
}

TEST_F(DevicesTest, SecondPortAfterLaunchStartsNothingAndAFailedLaunchCanBeRetried) {
  FakeATThread::failSetup = true;
  const double previous = QPX_Framework_Thread::SetLaunchTimeout(5.0);
  sim_->Plug(Announcement(0x1111, 0x0002, {Serial(0, "/dev/a-modem"), Serial(2, "/dev/a-pcui")}));
  Pump();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x1111, 0x0002);
  ASSERT_NE(main, nullptr);
  // The failed start left nothing: no node, no "Modem ID", no "Modem Storage".
  EXPECT_FALSE(main->Contains("Modem ID"));
  EXPECT_FALSE(main->Contains("Modem Storage"));
  EXPECT_FALSE(main->Contains("Modem Thread"));
  // The failed thread's body may still be ending on its own thread; it is gone once it has.
  for (const auto& failed : FakeATThread::Alive()) failed->WaitUntilFinished();

  FakeATThread::failSetup = false;
  const auto port = sim_->MatchingEntries(Value{{"IOCalloutDevice", Value("/dev/a-pcui")}});
  ASSERT_EQ(port.size(), 1u);
  const auto watcher = main->GetObject<QPX_Framework_Device_Base>("Instance");
  watcher->QPX_Framework_Device_AddSerialPort("/dev/a-pcui", QPX_PortType_Application, main);
  ASSERT_TRUE(main->Contains("Modem Storage"));
  const Value node = main->Get("Modem Storage");
  // A further port after the launch starts nothing new.
  watcher->QPX_Framework_Device_AddSerialPort("/dev/a-pcui2", QPX_PortType_Application, main);
  EXPECT_EQ(main->Get("Modem Storage"), node);
  EXPECT_EQ(main->Get("Application Port").string(), "/dev/a-pcui2");
  EXPECT_EQ(FakeATThread::Alive().size(), 1u);
  QPX_Framework_Thread::SetLaunchTimeout(previous);
}

TEST_F(DevicesTest, UnplugOfALaunchedModemEndsItsThreadAndNode) {
  sim_->Plug(WithSwitch(Announcement(0x1111, 0x0001, {Media(0, "sr8")}), "Eject", EjectModemSwitched()));
  Pump();
  Settle();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x1111, 0x0002);
  ASSERT_NE(main, nullptr);
  const std::string id = main->Get("Modem ID").string();
  ASSERT_NE(QPX_Framework_Storage_GetNode(id), nullptr);
  const auto threads = FakeATThread::Alive();
  ASSERT_EQ(threads.size(), 1u);
  sim_->UnplugAll();
  Pump();
  threads[0]->WaitUntilFinished();
  EXPECT_EQ(QPX_Framework_Storage_GetNode(id), nullptr);
  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
}

TEST_F(DevicesTest, ADriverReportForAnUnpluggedDeviceIsIgnored) {
  const auto device = sim_->Plug(Announcement(0x3333, 0x0001, {Media(0, "sr5")}));
  // The check pass runs on its own thread; the device goes before its report is taken.
  ASSERT_TRUE(sim_->Unplug(device));
  Pump();
  Settle();
  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
  Advance(5.0);
  Settle();
  EXPECT_TRUE(Requests().empty());
}

TEST_F(DevicesTest, RecordIsFoundFromAnyEntryBelowItsDevice) {
  sim_->Plug(Announcement(0x1111, 0x0002, {Serial(0, "/dev/f-modem")}));
  Pump();
  const auto port = sim_->MatchingEntries(Value{{"IOCalloutDevice", Value("/dev/f-modem")}});
  ASSERT_EQ(port.size(), 1u);
  const QPX_Framework_DeviceRecordPtr main =
      QPX_Framework_Devices::QPX_Framework_Devices_FindMain(port[0], false);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main, RecordOf(0x1111, 0x0002));
  EXPECT_EQ(QPX_Framework_Devices::QPX_Framework_IOObjectForDeivce(main), port[0]->Ancestor(3));
  EXPECT_EQ(main->Key(),
            "USB 1111:0002 (" + std::to_string(port[0]->Ancestor(3)->Property("sessionID").toUInt64()) + ")");
}

// A device present before the watchers start is registered during their start.
TEST_F(DeviceLayerTest, DevicePresentAtStartIsRegistered) {
  sim_->Plug(Announcement(0x1111, 0x0002, {Serial(0, "/dev/s-modem"), Serial(2, "/dev/s-pcui")}));
  ASSERT_TRUE(MakeDevices(kDevicesXML));
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x1111, 0x0002);
  ASSERT_NE(main, nullptr);
  EXPECT_TRUE(main->Contains("Modem Storage"));
}

TEST_F(DeviceLayerTest, DevicesXMLConsistencyIsAsserted) {
  struct Case {
    const char* name;
    const char* xml;
  };
  const Case cases[] = {
      {"bundle value", R"(<Devices Bundle="maybe"><Device Name="a"/></Devices>)"},
      {"root name", R"(<Modems><Device Name="a"/></Modems>)"},
      {"NDIS type no", R"(<Devices><NDIS Type="no"/></Devices>)"},
      {"NDIS repeated", R"(<Devices><NDIS Type="x"/><NDIS Type="x"/></Devices>)"},
      {"NDIS class not NDIS",
       R"(<Devices><NDIS Type="x"><Class Name="QPX_Framework_Devices"/></NDIS></Devices>)"},
      {"duplicate USB",
       R"(<Devices><Device Name="a"><USB Vendor="1" Product="2"/><USB Vendor="1" Product="2"/></Device></Devices>)"},
  };
  QPX_Framework_ClassEntry devices;
  devices.name = "QPX_Framework_Devices";
  QPX_Framework_ClassRegistry::Register(devices);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(MakeDevices(c.xml), platform::AssertionFailure);
    QPX_Framework_Devices::_Reset();
  }
  QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Devices");
  EXPECT_FALSE(QPX_Framework_Devices::Create({}));
}

}  // namespace

namespace {

using namespace device_testing;

TEST_F(DeviceLayerTest, ProgressReportsReachTheHookOnTheMainThreadInOrder) {
  std::vector<std::pair<int, bool>> seen;
  QPX_Framework_Devices_SetProgressHook(
      [&](int code, const Value&) { seen.emplace_back(code, QPX_Framework_Devices_IsMainThread()); });
  std::thread([] {
    for (int code = 0; code <= 8; ++code)
      QPX_Framework_Device_AppInfo::ReportProgress(code, Value{{"n", Value(code)}});
  }).join();
  QPX_Framework_Device_AppInfo::ReportProgress(7, Value());
  EXPECT_TRUE(seen.empty());  // never on the caller's stack
  Pump();
  ASSERT_EQ(seen.size(), 10u);
  for (int code = 0; code <= 8; ++code) EXPECT_EQ(seen[code], std::make_pair(code, true));
  // Without a hook nothing is queued.
  QPX_Framework_Devices_SetProgressHook(nullptr);
  QPX_Framework_Device_AppInfo::ReportProgress(1, Value());
  EXPECT_EQ(loop_->RunOnce(0), platform::RunLoop::RunResult::TimedOut);
}

}  // namespace

namespace {

using namespace device_testing;

// The shipped description: consistent, and a widely sold stick goes from its CD identity to
// a launched modem with the ports its layout names.
TEST_F(DeviceLayerTest, ShippedDevicesDescriptionSwitchesAndLaunchesARealModel) {
  const QPX_Framework_XML_Element root =
      QPX_Framework_XML_Document_LoadFromFile(std::string(DASHBOARD_SOURCE_RESOURCES) + "/Devices.xml");
  ASSERT_TRUE(root);
  std::size_t models = 0;
  bool web = false;
  bool ndis = false;
  for (const QPX_Framework_XML_Element& device : root.QPX_Framework_XML_Element_GetChildren("Device")) {
    if (!device.QPX_Framework_XML_Element_GetChildren("Port").empty() ||
        device.QPX_Framework_XML_Element_GetChild("HuaweiHTTP"))
      ++models;
    web |= static_cast<bool>(device.QPX_Framework_XML_Element_GetChild("HuaweiHTTP"));
    for (const QPX_Framework_XML_Element& usb : device.QPX_Framework_XML_Element_GetChildren("USB"))
      ndis |= usb.QPX_Framework_XML_Element_GetAttributeValue("NDIS").has_value();
  }
  EXPECT_GE(models, 12u);
  EXPECT_TRUE(web);
  EXPECT_TRUE(ndis);
  ASSERT_TRUE(QPX_Framework_Devices::Create({root}));  // every USB identity once, every attribute valid

  // Huawei E1550: CD-ROM identity 12d1:1446, modem identity 12d1:1001 with its modem on
  // interface 0 and its application port on interface 2.
  const Value modem = Announcement(
      0x12d1, 0x1001,
      {Serial(0, "/dev/e1550-modem"), Serial(1, "/dev/e1550-diag"), Serial(2, "/dev/e1550-pcui")});
  sim_->Plug(WithSwitch(Announcement(0x12d1, 0x1446, {Media(0, "sr1")}), "Eject", modem));
  Pump();
  Settle();
  ASSERT_TRUE(WaitFor([] { return RecordOf(0x12d1, 0x1001) != nullptr; }));
  Pump();
  const QPX_Framework_DeviceRecordPtr main = RecordOf(0x12d1, 0x1001);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->Get("Modem Port").string(), "/dev/e1550-modem");
  EXPECT_EQ(main->Get("Application Port").string(), "/dev/e1550-pcui");
  EXPECT_TRUE(main->Contains("Modem Storage"));
  EXPECT_EQ(main->Get("Bundled Driver Info").get("Name").string(), "Dashboard Modem Support");
}

}  // namespace
