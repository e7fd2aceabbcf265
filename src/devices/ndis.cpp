#include "devices/ndis.h"

#include <mutex>

#include "framework/core/globals.h"
#include "framework/core/log.h"

namespace {
const char* ProgressName(int progress) {
  switch (progress) {
    case 11:
      return "connecting";
    case 13:
      return "connected";
    case 16:
      return "disconnecting";
    case 0:
      return "idle";
    case -1:
      return "failed";
    default:
      return "unknown";
  }
}
}  // namespace

void QPX_Framework_NDIS::SetOnlyIfRequired() {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  QPX_Assert_Detail(!onlyIfRequired_, Value("NDIS only-if-required set twice"));
  onlyIfRequired_ = true;
}

bool QPX_Framework_NDIS::OnlyIfRequired() const {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  return onlyIfRequired_;
}

void QPX_Framework_NDIS::SetEthernet(const std::string& name) {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  ethernet_ = name;
}

std::optional<std::string> QPX_Framework_NDIS::GetEthernet() const {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  return ethernet_;
}

void QPX_Framework_NDIS::ClearEthernet() {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  ethernet_.reset();
}

void QPX_Framework_NDIS::SetStorage(const QPX_Framework_StoragePtr& storage) {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  QPX_Assert_Detail(!storage_, Value("NDIS modem node set twice"));
  storage_ = storage;
}

QPX_Framework_StoragePtr QPX_Framework_NDIS::GetStorage() const {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  return storage_;
}

bool QPX_Framework_NDIS::ConfigEthernet(const Value& /*profile*/, const Value& /*gprs*/) { return false; }

int QPX_Framework_NDIS::Connect_Init(const Value& /*profile*/, const Value& /*gprs*/) { return 1; }

int QPX_Framework_NDIS::Connect_PDPSet(const Value& /*profile*/, const Value& /*gprs*/, int /*context*/) {
  return 1;
}

Value QPX_Framework_NDIS::GetEthernetTraffic() {
  return Value{{"BytesIn", Value(0)}, {"BytesOut", Value(0)}};
}

void QPX_Framework_NDIS::SetProgressReceiver(std::function<void(int progress)> receiver) {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  progress_ = std::move(receiver);
}

void QPX_Framework_NDIS::ReportProgress(int progress) {
  std::function<void(int)> receiver;
  {
    std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
    receiver = progress_;
  }
  QPX_Log(QPX_LOG_TRACE, "NDIS progress %d (%s)", progress, ProgressName(progress));
  if (receiver) receiver(progress);
}

std::string QPX_Framework_NDIS::Description() const {
  const auto ethernet = GetEthernet();
  return "<QPX_Framework_NDIS " + (ethernet ? *ethernet : std::string("no interface")) + ">";
}
