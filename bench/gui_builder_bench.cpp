// Building the shipped main GUI file (read with its includes, every object built, the main
// window shown and laid out once) beside the floor: Qt making, showing and laying out an
// empty top-level widget of the main window's size. Offscreen, in the same run.
//
//   QT_QPA_PLATFORM=offscreen build/bench/gui_builder_bench
//
// The resources come from the bundle in the build tree (build/Dashboard.app), which the
// normal build lays out.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "gui/builder.h"
#include "gui/position_window.h"
#include "platform/bundle.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace {

// The bundle beside the benchmark's folder; false when the build has not laid it out.
bool UseBuildBundle() {
  static const bool found = [] {
    const std::filesystem::path executable = platform::Bundle::ExecutablePathOfProcess();
    const std::filesystem::path bundle = executable.parent_path().parent_path() / "Dashboard.app";
    if (!std::filesystem::exists(bundle / "Contents/Resources/GUI/GUI.plist")) return false;
    platform::Bundle::SetMain(std::make_shared<platform::Bundle>(bundle.string()));
    return true;
  }();
  return found;
}

void Prepare(benchmark::State& state) {
  platform::ui::testing::EnsureApplication();
  if (!UseBuildBundle()) state.SkipWithError("no Dashboard.app with GUI/GUI.plist beside the bench folder");
}

void BM_ReadMainFile(benchmark::State& state) {
  Prepare(state);
  const std::string path = platform::Bundle::Main()->resourcesPath() + "/GUI/GUI.plist";
  for (auto _ : state) {
    std::optional<Value> list = _QPX_Framework_ReadGUIPList(path);
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(BM_ReadMainFile)->Unit(benchmark::kMicrosecond);

void BM_BuildMainWindow(benchmark::State& state) {
  Prepare(state);
  for (auto _ : state) {
    std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("GUI.plist");
    std::shared_ptr<platform::ui::Window> window =
        objects ? objects->Get<platform::ui::Window>("Main") : nullptr;
    if (!window) {
      state.SkipWithError("GUI.plist did not build a \"Main\" window");
      break;
    }
    window->OrderFront();
    platform::ui::testing::Settle(1);
    window->OrderOut();
  }
}
BENCHMARK(BM_BuildMainWindow)->Unit(benchmark::kMicrosecond);

// The floor: the least a window of the same size costs.
void BM_EmptyQtWindow(benchmark::State& state) {
  Prepare(state);
  for (auto _ : state) {
    auto widget = std::make_unique<QWidget>();
    widget->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    widget->resize(400, 260);
    widget->show();
    platform::ui::testing::Settle(1);
    widget->hide();
  }
}
BENCHMARK(BM_EmptyQtWindow)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
