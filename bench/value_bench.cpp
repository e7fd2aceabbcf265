// The cost of our property-list layer next to the bare library: a typical command package
// (about 1 KB as a binary property list) written and read back through plist::ToBinary and
// plist::Parse, and the same bytes through libplist's own plist_to_bin and plist_from_bin.

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdint>
#include <string>

#include "platform/plist.h"
#include "platform/value.h"

namespace {

namespace plist = platform::plist;

Value CommandPackage() {
  Value::Bytes blob;
  for (int i = 0; i < 96; ++i) blob.push_back(static_cast<std::uint8_t>(i * 13));
  return Value{
      {"Command", "ConnectWithProfile"},
      {"Sender", "QPX_Framework_Modem_Connect"},
      {"ModemIdentifier", "usb-12d1-1506-0000:00:14.0-3"},
      {"Port", "/dev/ttyUSB0"},
      {"Timeout", 30},
      {"Retries", 3},
      {"SignalQuality", 0.73},
      {"Synchronous", true},
      {"Profile",
       {{"Name", "Mobile Internet"},
        {"APN", "internet.example"},
        {"User", "web"},
        {"Password", "masked"},
        {"Authentication", 2},
        {"DialNumber", "*99#"},
        {"IPv6", false},
        {"DNS", Value(Value::Array{"192.0.2.53", "198.51.100.53"})}}},
      {"Blob", Value::Data(blob)},
      {"Commands",
       Value(Value::Array{"AT+CGDCONT=1,\"IP\",\"internet.example\"", "AT+CFUN=1", "ATD*99#", 115200, 9600})},
      {"Counters", {{"Sent", 123456789}, {"Received", 987654321}, {"Limit", 5000000000LL}}},
      {"Operators",
       Value(Value::Array{Value{{"Name", "Example Mobile"}, {"MCCMNC", "00101"}, {"Roaming", false}},
                          Value{{"Name", "Sample Net"}, {"MCCMNC", "00102"}, {"Roaming", true}}})},
      {"Reason", "The user chose Connect in the status menu while the modem was registered."},
  };
}

struct Fixture {
  Value value = CommandPackage();
  std::string binary = plist::ToBinary(value);
  std::string xml = plist::ToXml(value);
};

const Fixture& Data() {
  static const Fixture fixture;
  return fixture;
}

// ---- our layer ----

void BM_Value_ToBinaryAndParse(benchmark::State& state) {
  const Value& value = Data().value;
  for (auto _ : state) {
    std::string bytes = plist::ToBinary(value);
    std::optional<Value> back = plist::Parse(bytes);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Data().binary.size()));
  state.counters["bytes"] = static_cast<double>(Data().binary.size());
}
BENCHMARK(BM_Value_ToBinaryAndParse);

void BM_Value_ToBinary(benchmark::State& state) {
  const Value& value = Data().value;
  for (auto _ : state) {
    std::string bytes = plist::ToBinary(value);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_Value_ToBinary);

void BM_Value_ParseBinary(benchmark::State& state) {
  const std::string& bytes = Data().binary;
  for (auto _ : state) {
    std::optional<Value> back = plist::Parse(bytes);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_Value_ParseBinary);

void BM_Value_ToXmlAndParse(benchmark::State& state) {
  const Value& value = Data().value;
  for (auto _ : state) {
    std::string bytes = plist::ToXml(value);
    std::optional<Value> back = plist::Parse(bytes);
    benchmark::DoNotOptimize(back);
  }
  state.counters["bytes"] = static_cast<double>(Data().xml.size());
}
BENCHMARK(BM_Value_ToXmlAndParse);

// ---- the bare library on the same bytes ----

void BM_Libplist_ToBinAndFromBin(benchmark::State& state) {
  const std::string& bytes = Data().binary;
  plist_t root = nullptr;
  plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (!root) {
    state.SkipWithError("libplist could not read the package");
    return;
  }
  for (auto _ : state) {
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    plist_t back = nullptr;
    plist_from_bin(out, length, &back);
    benchmark::DoNotOptimize(back);
    plist_free(back);
    plist_to_bin_free(out);
  }
  plist_free(root);
}
BENCHMARK(BM_Libplist_ToBinAndFromBin);

void BM_Libplist_ToXmlAndFromXml(benchmark::State& state) {
  const std::string& bytes = Data().binary;
  plist_t root = nullptr;
  plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  if (!root) {
    state.SkipWithError("libplist could not read the package");
    return;
  }
  for (auto _ : state) {
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &out, &length);
    plist_t back = nullptr;
    plist_from_xml(out, length, &back);
    benchmark::DoNotOptimize(back);
    plist_free(back);
    plist_to_xml_free(out);
  }
  plist_free(root);
}
BENCHMARK(BM_Libplist_ToXmlAndFromXml);

// ---- the value type itself ----

void BM_Value_Copy(benchmark::State& state) {
  const Value& value = Data().value;
  for (auto _ : state) {
    Value copy = value;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_Value_Copy);

void BM_Value_SetOnSharedCopy(benchmark::State& state) {
  const Value& value = Data().value;
  for (auto _ : state) {
    Value copy = value;
    copy.set("Command", "Disconnect");  // detaches the top level only
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_Value_SetOnSharedCopy);

void BM_Value_Equality(benchmark::State& state) {
  const Value a = Data().value;
  const Value b = *plist::Parse(Data().binary);  // equal, but no shared payloads
  for (auto _ : state) {
    bool same = a == b;
    benchmark::DoNotOptimize(same);
  }
}
BENCHMARK(BM_Value_Equality);

}  // namespace

BENCHMARK_MAIN();
