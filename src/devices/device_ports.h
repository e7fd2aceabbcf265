#pragma once
// The port watcher and the Ethernet watcher: every serial port and network interface of the
// system is looked at once; those that belong to a known USB device are typed by the match
// rules of its model ("Port" elements of the devices XML) and handed to the device's
// watcher, which launches the modem once the ports it needs are there. Both are singletons
// on the main thread, started by the device manager outside run mode 3.

#include <memory>
#include <string>

#include "devices/device_base.h"

class QPX_Framework_Device_Ports final : public QPX_Framework_Device {
 public:
  // Creates the watcher once; it registers for serial stream ports.
  static void QPX_Framework_Device_Ports_Init();
  static std::shared_ptr<QPX_Framework_Device_Ports> Instance();

  // "Application" 1, "Modem" 2 (case-insensitive), else 0.
  static int QPX_Framework_Device_Port_Type(const QPX_Framework_XML_Element& port);
  // "Application Port" for 1, "Modem Port" for 2, null otherwise.
  static const char* QPX_Framework_Device_Port_Key(int type);
  // The type the model's rules give the port entry (0 when none matches).
  static int TypeOfPort(const QPX_Framework_XML_Element& device, const platform::usb::EntryPtr& port);

  bool RespondsToPublishMain() const override { return true; }
  bool RespondsToTerminateMain() const override { return true; }
  void QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& object,
                                        const QPX_Framework_DeviceRecordPtr& main) override;
  void QPX_Framework_Device_TerminateMain(const platform::usb::EntryPtr& object,
                                          const QPX_Framework_DeviceRecordPtr& main) override;

  // Forgets the instance (the manager's reset).
  static void _Reset();
};

class QPX_Framework_Device_Ethernet final : public QPX_Framework_Device {
 public:
  static void QPX_Framework_Device_Ethernet_Init();
  static std::shared_ptr<QPX_Framework_Device_Ethernet> Instance();

  bool RespondsToPublishMain() const override { return true; }
  bool RespondsToTerminateMain() const override { return true; }
  void QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& object,
                                        const QPX_Framework_DeviceRecordPtr& main) override;
  void QPX_Framework_Device_TerminateMain(const platform::usb::EntryPtr& object,
                                          const QPX_Framework_DeviceRecordPtr& main) override;

  static void _Reset();
};
