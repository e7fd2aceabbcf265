// The XML element tree against pugixml used directly, on the same 1 MB document: loading
// (the layer adds a UTF-8 check, the top-level well-formedness check and shared ownership
// of the document) and walking (the layer hands out handles that share the document).

#include <benchmark/benchmark.h>

#include <pugixml.hpp>
#include <string>

#include "framework/util/xml.h"

namespace {

// A devices table of about 1 MB, indented, with attributes, text, comments and entities.
const std::string& Document() {
  static const std::string text = [] {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Devices version=\"2\">\n";
    for (int i = 0; s.size() < 1024 * 1024; ++i) {
      char vid[16], pid[16];
      std::snprintf(vid, sizeof vid, "0x%04x", 0x1000 + i % 97);
      std::snprintf(pid, sizeof pid, "0x%04x", i);
      s += "  <!-- model " + std::to_string(i) + " -->\n";
      s += std::string("  <Device VID=\"") + vid + "\" PID=\"" + pid + "\" Switch=\"eject\">\n";
      s += "    <Name>Modem &amp; Stick " + std::to_string(i) + "</Name>\n";
      s += "    <Port Type=\"Modem\" Interface=\"0\"/>\n    <Port Type=\"Application\" Interface=\"2\"/>\n";
      s += "    <Quirks>no-cdrom-eject delayed-pin</Quirks>\n  </Device>\n";
    }
    s += "</Devices>\n";
    return s;
  }();
  return text;
}

// The options the layer parses with, so both sides do the same parsing work.
constexpr unsigned kOptions = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments |
                              pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment;

void BM_PugixmlLoad(benchmark::State& state) {
  const std::string& text = Document();
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), kOptions, pugi::encoding_utf8);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(doc.document_element());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PugixmlLoad)->Unit(benchmark::kMillisecond);

void BM_LayerLoad(benchmark::State& state) {
  const std::string& text = Document();
  for (auto _ : state) {
    QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(text);
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LayerLoad)->Unit(benchmark::kMillisecond);

// Every device's attribute and the text of its name, as the devices reader does.
void BM_PugixmlWalk(benchmark::State& state) {
  pugi::xml_document doc;
  doc.load_buffer(Document().data(), Document().size(), kOptions, pugi::encoding_utf8);
  pugi::xml_node root = doc.document_element();
  for (auto _ : state) {
    std::size_t total = 0;
    for (pugi::xml_node device : root.children("Device")) {
      total += std::string(device.attribute("PID").value()).size();
      std::string name;
      for (pugi::xml_node text : device.child("Name").children())
        if (text.type() == pugi::node_pcdata) name += text.value();
      total += name.size();
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_PugixmlWalk)->Unit(benchmark::kMillisecond);

void BM_LayerWalk(benchmark::State& state) {
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(Document());
  for (auto _ : state) {
    std::size_t total = 0;
    for (const QPX_Framework_XML_Element& device : root.QPX_Framework_XML_Element_GetChildren("Device")) {
      total += device.QPX_Framework_XML_Element_GetAttributeValue("PID").value_or("").size();
      total += device.QPX_Framework_XML_Element_GetStringChild("Name").value_or("").size();
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_LayerWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
