// modem-sim: plugs one simulated modem into a running Dashboard.
//
// The modem is one of the models of "Devices.xml": the program makes one pseudo-terminal
// per port the model has, answers AT commands on them, and announces the device (in its
// modem mode, with its USB IDs and the interface numbers and names its port rules look for)
// in the announcement folder of the simulated USB back-end. Interrupting the program (or
// the modem vanishing) removes the announcement, which unplugs the device.
//
//   modem-sim --model "Huawei E173"
//   modem-sim --list

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/device_sim.h"
#include "platform/plist.h"
#include "platform/value.h"
#include "testing/modem_sim/modem_sim.h"

#ifndef DASHBOARD_SOURCE_RESOURCES
#define DASHBOARD_SOURCE_RESOURCES "resources"
#endif

namespace {

volatile sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: modem-sim [--model NAME] [--devices Devices.xml] [--folder DIR] [--product 0xPPPP]\n"
               "       modem-sim --list [--devices Devices.xml]\n");
}

long Number(const char* text) { return std::strtol(text, nullptr, 0); }

// One serial port of a model, as its port rules describe it.
struct PortRule {
  std::string type;  // "Application" or "Modem"
  long interface = -1;
  std::string suffix;  // the IOTTYSuffix the rules look for, without wildcards
};

struct Model {
  std::string name;
  long vendor = 0;
  long product = 0;
  std::vector<PortRule> ports;
};

std::vector<Model> ReadModels(const std::string& path) {
  std::vector<Model> models;
  pugi::xml_document document;
  if (!document.load_file(path.c_str())) {
    std::fprintf(stderr, "modem-sim: cannot read %s\n", path.c_str());
    return models;
  }
  for (pugi::xml_node device : document.document_element().children("Device")) {
    Model model;
    model.name = device.attribute("Name").as_string();
    // The last USB identity of a model is its modem mode.
    for (pugi::xml_node usb : device.children("USB")) {
      model.vendor = Number(usb.attribute("Vendor").as_string("0"));
      model.product = Number(usb.attribute("Product").as_string("0"));
    }
    for (pugi::xml_node port : device.children("Port")) {
      PortRule rule;
      rule.type = port.attribute("Type").as_string();
      for (pugi::xml_node match : port.children("Match")) {
        const std::string property = match.attribute("Property").as_string();
        std::string value = match.attribute("Value").as_string();
        if (property == "bInterfaceNumber") rule.interface = Number(value.c_str());
        if (property == "IOTTYSuffix") {
          value.erase(std::remove(value.begin(), value.end(), '*'), value.end());
          rule.suffix = value;
        }
      }
      model.ports.push_back(rule);
    }
    if (!model.ports.empty()) models.push_back(model);
  }
  return models;
}

Value Announcement(const Model& model, const modem_sim::Modem& modem) {
  Value interfaces = Value::EmptyArray();
  for (std::size_t i = 0; i < model.ports.size(); ++i) {
    const PortRule& rule = model.ports[i];
    Value serial{{"Callout", Value(modem.PortPath(i))}};
    if (!rule.suffix.empty()) serial.set("TTY Suffix", Value(rule.suffix));
    Value interface {
      { "Serial", serial }
    };
    interface.set("bInterfaceNumber",
                  Value(rule.interface >= 0 ? rule.interface : static_cast<long>(10 + i)));
    interfaces.append(interface);
  }
  return Value{
      {"idVendor", Value(model.vendor)},
      {"idProduct", Value(model.product)},
      {"USB Vendor Name", Value(modem.options().manufacturer)},
      {"USB Product Name", Value(model.name)},
      {"Interfaces", interfaces},
  };
}

}  // namespace

int main(int argc, char** argv) {
  std::string devicesPath = std::string(DASHBOARD_SOURCE_RESOURCES) + "/Devices.xml";
  std::string modelName = "Huawei E173";
  std::string folder;
  long product = -1;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--model") {
      modelName = next();
    } else if (arg == "--devices") {
      devicesPath = next();
    } else if (arg == "--folder") {
      folder = next();
    } else if (arg == "--product") {
      product = Number(next());
    } else if (arg == "--list") {
      list = true;
    } else {
      Usage();
      return 2;
    }
  }

  const std::vector<Model> models = ReadModels(devicesPath);
  if (list) {
    for (const Model& model : models)
      std::printf("%s (%04lx:%04lx, %zu ports)\n", model.name.c_str(), model.vendor, model.product,
                  model.ports.size());
    return models.empty() ? 1 : 0;
  }
  const Model* chosen = nullptr;
  for (const Model& model : models)
    if (model.name == modelName) chosen = &model;
  if (!chosen) {
    std::fprintf(stderr, "modem-sim: no model \"%s\" with serial ports in %s (try --list)\n",
                 modelName.c_str(), devicesPath.c_str());
    return 1;
  }
  Model model = *chosen;
  if (product >= 0) model.product = product;

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  modem_sim::Options options;
  options.ports = model.ports.size();
  options.manufacturer = model.name.substr(0, model.name.find(' '));
  options.model = model.name;
  modem_sim::Modem modem(options);

  if (folder.empty()) folder = platform::SimulatedDevices::DefaultFolder();
  ::mkdir(folder.c_str(), 0700);
  const std::string file = folder + "/modem-sim-" + std::to_string(getpid()) + ".plist";
  if (!platform::plist::WriteFileAtomically(file, Announcement(model, modem))) {
    std::fprintf(stderr, "modem-sim: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s plugged in (%s)\n", model.name.c_str(), file.c_str());
  for (std::size_t i = 0; i < model.ports.size(); ++i)
    std::printf("  %s port: %s\n", model.ports[i].type.c_str(), modem.PortPath(i).c_str());
  std::fflush(stdout);

  while (!stopRequested && !modem.Vanished()) sleep(1);
  ::unlink(file.c_str());
  std::printf("%s unplugged\n", model.name.c_str());
  return 0;
}
