#pragma once
// The class initialisation table: the ordered list of classes that take part in start-up,
// each with the run modes it belongs to. Walking it brings the application-wide services,
// worker threads and registries into being, in an order later rows rely on.

#include <array>
#include <cstdint>

struct QPX_Framework_ClassListRow {
  const char* name;
  // Bit n stands for run mode n: 2 = mode 1, 6 = modes 1 and 2, 8 = mode 3, 10 = modes 1
  // and 3, 14 = all three.
  uint32_t mask;
};

inline constexpr std::size_t QPX_Framework_ClassListCount = 53;
extern const std::array<QPX_Framework_ClassListRow, QPX_Framework_ClassListCount> ClassList;

// Walks the table for the given run mode: every row of that mode whose class is registered
// gets its initialiser called with the row's class name, in table order. The first
// initialiser that answers false ends the walk (logged); the answer is then false.
bool InitClasses(int runMode);
// The same for the current run mode (QPX_Framework_Application_RunMode).
bool InitClasses();

// Marks the calling thread as the main thread and walks the table for the current run mode.
bool _QPX_Framework_Init();

// Enters the classes of the framework core into the class registry. Called by main()
// before start-up walks the table.
void QPX_Framework_Core_RegisterClasses();
