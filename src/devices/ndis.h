#pragma once
// The base of the vendor NDIS back-ends: one object per NDIS modem, created by the USB
// watcher for a device whose USB identity names an NDIS type, kept as "Instance" in the
// record's "NDIS" entry. The device layer uses the Ethernet interface name and the
// only-if-required flag; the connect thread binds the object and runs its connection
// operations on that thread. Back-ends are registered by class name in the class registry
// (with "QPX_Framework_NDIS" among their bases) and override the connection operations.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/core/storage.h"
#include "platform/value.h"

class QPX_Framework_NDIS : public platform::ValueObject,
                           public std::enable_shared_from_this<QPX_Framework_NDIS> {
 public:
  QPX_Framework_NDIS() = default;
  ~QPX_Framework_NDIS() override = default;

  // NDIS is used only when the modem lacks a usable modem port. Setting it twice is an
  // assertion.
  void SetOnlyIfRequired();
  bool OnlyIfRequired() const;

  // The BSD name of the modem's Ethernet interface (kept under the framework's global lock).
  void SetEthernet(const std::string& name);
  // None until set.
  std::optional<std::string> GetEthernet() const;
  // Forgets the interface name.
  virtual void ClearEthernet();

  // The node of the running modem; may be set once only (assertion).
  void SetStorage(const QPX_Framework_StoragePtr& storage);
  QPX_Framework_StoragePtr GetStorage() const;

  // --- Connection operations (run on the connect thread) ---
  virtual void ConnectThreadSetup() {}
  virtual void ConnectThreadCleanup() {}
  // YES when the Ethernet network service was configured with the profile's "DNS", "HTTP
  // Proxy" and "Proxy File". The base has no network service to configure: NO.
  virtual bool ConfigEthernet(const Value& profile, const Value& gprs);
  virtual void StartEthernetTrafficMonitor() {}
  virtual void StopEthernetTrafficMonitor() {}
  // 0 connecting by itself, 1 continue with attach and PDP context, 3 not for this
  // back-end, anything else failure. The base answers 1.
  virtual int Connect_Init(const Value& profile, const Value& gprs);
  virtual int Connect_PDPSet(const Value& profile, const Value& gprs, int context);
  virtual bool IsConnected() { return false; }
  virtual void Disconnect() {}
  // {"BytesIn", "BytesOut"} since the connection start.
  virtual Value GetEthernetTraffic();

  // The connect thread's SetProgress: (11 connecting, 13 connected, 16 disconnecting, 0,
  // -1). Back-ends report through ReportProgress, which logs the progress name.
  void SetProgressReceiver(std::function<void(int progress)> receiver);
  void ReportProgress(int progress);

  std::string Description() const override;

 private:
  bool onlyIfRequired_ = false;
  std::optional<std::string> ethernet_;
  QPX_Framework_StoragePtr storage_;
  std::function<void(int)> progress_;
};
