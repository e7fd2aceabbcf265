// Throughput of the SMS PDU codec: decoding a mix of received PDUs (GSM, GSM with escapes,
// UCS2, concatenated parts, 8-bit data, a status report and a malformed one) and encoding a
// mix of outgoing texts (short and long, GSM and UCS2). Reported as PDUs per second.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "framework/core/storage.h"
#include "sms/bit_buffer.h"
#include "sms/pdu_decode.h"
#include "sms/pdu_encode.h"

namespace {

const char* const kReceived[] = {
    "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
    "0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B",
    "004405912143F5000021203121436500120500032A0201906536FB0DBABFE56C32",
    "004405912143F500082120312143650012050003070303041F04400438043204350442",
    "000405912143F500002120312143650006E14D59BCE101",
    "000405912143F5000421203121436500030102FF",
    "0791447758100650062A0C914477112233442120312143658A2120312153658A00",
    "000405912143F50000212031214365000BC8329BFD06DDDF7236",  // truncated
};

std::vector<Value::Bytes> ReceivedPdus() {
  std::vector<Value::Bytes> pdus;
  for (const char* hex : kReceived)
    pdus.push_back(QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithString(hex)->Octets());
  // A full 160-septet message, as most received texts are.
  Value record = {{"TP-UD", std::string(160, 'x')}, {"TP-DA", Value{{"Number", "+4915112345678"}}}};
  if (QPX_Framework_SMS_Encode(record, false, -1)) {
    Value::Bytes submit = record.get("Send Parts New").at(0).at(0).data();
    Value::Bytes deliver = {0x00, 0x04, 0x0D, 0x91, 0x94, 0x51, 0x11, 0x32, 0x54, 0x76,
                            0xF8, 0x00, 0x00, 0x21, 0x20, 0x31, 0x21, 0x43, 0x65, 0x00};
    deliver.insert(deliver.end(), submit.begin() + 13, submit.end());  // TP-UDL and the septets
    pdus.push_back(deliver);
  }
  return pdus;
}

void BM_DecodeMixed(benchmark::State& state) {
  QPX_Framework_Storage::QPX_Framework_Init();
  const std::vector<Value::Bytes> pdus = ReceivedPdus();
  std::size_t count = 0;
  for (auto _ : state) {
    for (const Value::Bytes& pdu : pdus)
      benchmark::DoNotOptimize(QPX_Framework_SMS_Decode(pdu.data(), pdu.size()));
    count += pdus.size();
  }
  state.counters["PDUs/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeMixed);

void BM_EncodeMixed(benchmark::State& state) {
  QPX_Framework_Storage::QPX_Framework_Init();
  const std::string texts[] = {
      "See you at 8?",
      "Price: 12\xE2\x82\xAC [incl. tax] {ok}",
      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82! \xD0\x9A\xD0\xB0\xD0\xBA "
      "\xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0?",
      std::string(400, 'a'),
      std::string(150, 'b') + "\xC3\xAA" + std::string(50, 'c'),
  };
  const Value recipient = Value{{"Number", "+4915112345678"}};
  std::size_t count = 0;
  for (auto _ : state) {
    for (const std::string& text : texts) {
      Value record = {{"TP-UD", text}, {"TP-DA", recipient}};
      QPX_Framework_SMS_Encode(record, true, 167);
      count += record.get("Send Parts New").at(0).size();
      benchmark::DoNotOptimize(record);
    }
  }
  state.counters["PDUs/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeMixed);

}  // namespace

BENCHMARK_MAIN();
