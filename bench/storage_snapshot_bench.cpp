// Storage snapshots of a 10,000-element subtree (100 nodes of 100 elements: short and long
// strings, numbers and dates), beside the limit: pugixml writing and parsing the same
// document directly, with nothing of the storage tree around it.
//
//   BM_SnapshotMakeXML   lock the subtree, walk it, encode every value, serialize
//   BM_SnapshotSaveXML   the same, written atomically to a file (fsync included)
//   BM_SnapshotLoad      read the file and write every element into the tree
//   BM_PugixmlWrite      build the same document with pugixml and serialize it
//   BM_PugixmlParse      parse the document with pugixml
// The ratios of the snapshot to the limit are printed at the end.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "framework/core/storage.h"
#include "framework/util/files.h"
#include "framework/util/save_info.h"
#include "framework/util/storage_snapshot.h"

namespace {

constexpr int kNodes = 100;
constexpr int kElementsPerNode = 100;

std::string tempFolder;
double makeSeconds = 0, loadSeconds = 0, pugiWriteSeconds = 0, pugiParseSeconds = 0;

std::string ElementName(int i) { return "Element " + std::to_string(i); }

Value ElementValue(int node, int i) {
  switch (i % 4) {
    case 0:
      return Value("short " + std::to_string(node * 1000 + i));
    case 1:
      return Value(node * 1000 + i);
    case 2:
      return Value("a longer text of more than thirty-two characters, number " + std::to_string(i));
    default:
      return Value::DateFromUnix(1.7e9 + node * 1000 + i);
  }
}

QPX_Framework_StoragePtr Subtree() {
  static QPX_Framework_StoragePtr top = [] {
    QPX_Framework_Storage::QPX_Framework_Init();
    std::vector<std::string> names;
    for (int i = 0; i < kElementsPerNode; ++i) names.push_back(ElementName(i));
    QPX_Framework_Storage_SaveInfo_SaveElements(std::nullopt, {Value("Bench"), Value("Snapshot")});
    QPX_Framework_Storage_SaveInfo_SaveElements(
        names, {Value("Bench"), Value("Snapshot"), QPX_Framework_Storage_SaveInfo_AnyChild});
    QPX_Framework_StoragePtr node = QPX_Framework_Storage_CreateNode("/Bench/Snapshot");
    for (int n = 0; n < kNodes; ++n) {
      Value elements = Value::EmptyDictionary();
      for (int i = 0; i < kElementsPerNode; ++i) elements.set(ElementName(i), ElementValue(n, i));
      node->GetNode("Node " + std::to_string(n), true, elements, false);
    }
    return node;
  }();
  return top;
}

const std::string& SnapshotBytes() {
  static const std::string bytes =
      *QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(Subtree(), false);
  return bytes;
}

double PerIteration(const benchmark::State& state, std::chrono::steady_clock::time_point start) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return state.iterations() > 0 ? seconds / static_cast<double>(state.iterations()) : 0;
}

void BM_SnapshotMakeXML(benchmark::State& state) {
  const QPX_Framework_StoragePtr node = Subtree();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    benchmark::DoNotOptimize(QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(node, false));
  makeSeconds = PerIteration(state, start);
  state.SetItemsProcessed(state.iterations() * kNodes * kElementsPerNode);
}
BENCHMARK(BM_SnapshotMakeXML)->Unit(benchmark::kMillisecond);

void BM_SnapshotSaveXML(benchmark::State& state) {
  const QPX_Framework_StoragePtr node = Subtree();
  const std::string path = tempFolder + "/snapshot.xml";
  for (auto _ : state)
    benchmark::DoNotOptimize(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(node, path, false));
  state.SetItemsProcessed(state.iterations() * kNodes * kElementsPerNode);
}
BENCHMARK(BM_SnapshotSaveXML)->Unit(benchmark::kMillisecond);

void BM_SnapshotLoad(benchmark::State& state) {
  const std::string path = tempFolder + "/load.xml";
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(SnapshotBytes().data(), 1, SnapshotBytes().size(), file);
  std::fclose(file);
  const QPX_Framework_StoragePtr target = QPX_Framework_Storage_CreateNode("/BenchLoad/Snapshot");
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    benchmark::DoNotOptimize(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(path, target));
  loadSeconds = PerIteration(state, start);
  state.SetItemsProcessed(state.iterations() * kNodes * kElementsPerNode);
}
BENCHMARK(BM_SnapshotLoad)->Unit(benchmark::kMillisecond);

// The same document, values already as text, written with pugixml alone.
struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

void BM_PugixmlWrite(benchmark::State& state) {
  // Element values as the snapshot writes them, prepared outside the loop.
  pugi::xml_document source;
  source.load_buffer(SnapshotBytes().data(), SnapshotBytes().size());
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = doc.append_child("NODE");
    root.append_attribute("Name") = "Snapshot";
    for (pugi::xml_node sourceNode : source.document_element().children("NODE")) {
      pugi::xml_node node = root.append_child("NODE");
      node.append_attribute("Name") = sourceNode.attribute("Name").value();
      for (pugi::xml_node sourceElement : sourceNode.children("ELEMENT")) {
        pugi::xml_node element = node.append_child("ELEMENT");
        for (pugi::xml_attribute attribute : sourceElement.attributes())
          element.append_attribute(attribute.name()) = attribute.value();
        if (pugi::xml_node text = sourceElement.child("STRING"))
          element.append_child("STRING").append_child(pugi::node_pcdata).set_value(text.text().get());
      }
    }
    StringWriter writer;
    doc.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
    benchmark::DoNotOptimize(writer.text);
  }
  pugiWriteSeconds = PerIteration(state, start);
  state.SetItemsProcessed(state.iterations() * kNodes * kElementsPerNode);
}
BENCHMARK(BM_PugixmlWrite)->Unit(benchmark::kMillisecond);

void BM_PugixmlParse(benchmark::State& state) {
  const std::string& bytes = SnapshotBytes();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(
        bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_utf8));
  }
  pugiParseSeconds = PerIteration(state, start);
  state.SetItemsProcessed(state.iterations() * kNodes * kElementsPerNode);
}
BENCHMARK(BM_PugixmlParse)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The storage tree's preferences node reads the user's defaults: keep them private.
  char folder[] = "/tmp/dashboard-snapshot-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  tempFolder = folder;
  ::setenv("HOME", folder, 1);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (makeSeconds > 0 && pugiWriteSeconds > 0)
    std::printf("\nsnapshot write: %.2f ms, pugixml write: %.2f ms (ratio %.1f)\n", makeSeconds * 1e3,
                pugiWriteSeconds * 1e3, makeSeconds / pugiWriteSeconds);
  if (loadSeconds > 0 && pugiParseSeconds > 0)
    std::printf("snapshot load: %.2f ms, pugixml parse: %.2f ms (ratio %.1f)\n", loadSeconds * 1e3,
                pugiParseSeconds * 1e3, loadSeconds / pugiParseSeconds);
  QPX_Framework_RemoveDirectory(folder);
  return 0;
}
