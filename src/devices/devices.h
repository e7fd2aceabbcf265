#pragma once
// The device manager: one per process, made by class initialisation (run modes 1 and 3). It
// turns the devices XML into long-lived device objects (one model object per "Device"
// element, one USB watcher per "USB" element), starts the port, Ethernet and storage
// watchers outside run mode 3, and finds the main device record of any registry entry.
//
// It binds the device layer to the thread that creates it (the main thread) and, with the
// simulated back-end, follows the device announcement folder on that thread's run loop.

#include <memory>
#include <string>
#include <vector>

#include "devices/device_base.h"
#include "framework/util/xml.h"
#include "platform/usb.h"

class QPX_Framework_Devices final : public platform::ValueObject {
 public:
  std::vector<QPX_Framework_XML_Element> DevicesXML;               // the roots read
  std::vector<std::shared_ptr<QPX_Framework_Device_USB>> Devices;  // the USB watchers made

  // Class initialiser: makes the manager from the devices XML of the bundle (with the
  // simulated back-end following its announcement folder). YES when it exists; NO without
  // any devices XML.
  static bool QPX_Framework_Init(const std::string& className);
  // Makes the manager from these roots (none: NO), on the calling thread, which must be the
  // bound main thread.
  static bool Create(std::vector<QPX_Framework_XML_Element> roots);
  static std::shared_ptr<QPX_Framework_Devices> Get();
  static std::vector<QPX_Framework_XML_Element> GetDevicesXML();

  // The record of the USB device at or above the entry; with `create`, made for a device of
  // a known model.
  static QPX_Framework_DeviceRecordPtr QPX_Framework_Devices_FindMain(const platform::usb::EntryPtr& object,
                                                                      bool create);
  // The USB device entry of a record.
  static platform::usb::EntryPtr QPX_Framework_IOObjectForDeivce(const QPX_Framework_DeviceRecordPtr& main);

  // Ends every notification and forgets the manager, its watchers and records (tests and
  // orderly shutdown). Modem threads already running are not touched.
  static void _Reset();

  std::string Description() const override { return "<QPX_Framework_Devices>"; }

 private:
  void CreateDevices();
};

// Enters the device layer's classes into the class registry ("QPX_Framework_Devices").
void QPX_Framework_Devices_RegisterClasses();
