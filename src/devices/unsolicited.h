#pragma once
// Unsolicited result codes: lines a modem sends on its own ("+CMTI: ...", "RING",
// "^RSSI: ..."). A module registers a line prefix and an invocation; the AT modem thread
// recognises matching lines on the port (and a number of lines that belong to them), keeps
// them while commands run, and between commands, when nobody owns the modem, runs the
// invocation on the module's own thread.
//
// Handler record (the registrant's handle, and what the modem thread keeps per port):
//   "Thread"      the registering thread; the handler runs there
//   "Invocation"  called for each message with (first line, record, further lines or null);
//                 without it the line is only recognised and swallowed
//   "Callback"    optional: called with (first line, record), answers how many further
//                 lines belong to this message
//   "Prefix"      the prefix bytes followed by one NUL byte
//   "Lines"       optional fixed number of further lines
// Lines are data: the line text plus one NUL byte.
//
//   auto handler = QPX_Framework_Modem_CreateUnsolicitedHandlerEx("+CMTI:", self, &Self::NewMessage, 0);
//   ...
//   QPX_Framework_Modem_RemoveUnsolicitedHandler(handler);

#include <cstdint>
#include <memory>
#include <string_view>

#include "devices/modem_at.h"
#include "framework/core/command.h"
#include "platform/value.h"

extern const char* const QPX_Framework_Modem_Command_SetUnsolicited;     // "Set Unsolicited"
extern const char* const QPX_Framework_Modem_Command_RemoveUnsolicited;  // "Remove Unsolicited"
extern const char* const QPX_Framework_Unsolicited_Key_Thread;           // "Thread"
extern const char* const QPX_Framework_Unsolicited_Key_Invocation;       // "Invocation"
extern const char* const QPX_Framework_Unsolicited_Key_Callback;         // "Callback"
extern const char* const QPX_Framework_Unsolicited_Key_Prefix;           // "Prefix"
extern const char* const QPX_Framework_Unsolicited_Key_Lines;            // "Lines"
extern const char* const QPX_Framework_Unsolicited_Key_Handler;          // "Handler"
extern const char* const QPX_Framework_Unsolicited_Key_Line;             // "Line"
extern const char* const QPX_Framework_Unsolicited_Key_More;             // "More"

// ---- Client side (the caller's current modem) ----

// Registers the handler on the port of the calling thread's "QPX Modem Port" setting (the
// application port when unset). Answers the handler record, or null without a current AT
// modem. A callback together with a fixed line count is an assertion.
Value QPX_Framework_Modem_RegisterUnsolicitedHandlerEx(std::string_view prefix,
                                                       const QPX_Framework_InvocationPtr& invocation,
                                                       const QPX_Framework_InvocationPtr& callback,
                                                       unsigned lines);

// Builds the invocations from a target object and its member functions, then registers.
// Message method: void (const Value& line, const Value& record, const Value& more).
// Line-count callback: std::int32_t (const Value& line, const Value& record).
template <class T>
Value QPX_Framework_Modem_CreateUnsolicitedHandlerEx(
    std::string_view prefix, const std::shared_ptr<T>& target,
    void (T::*method)(const Value&, const Value&, const Value&), unsigned lines) {
  if (!target || method == nullptr) return Value();
  std::weak_ptr<T> weak = target;
  auto invocation =
      QPX_Framework_Invocation::Make(target, [weak, method](QPX_Framework_Invocation::Arguments a) {
        if (auto self = weak.lock())
          ((*self).*method)(a.size() > 0 ? a[0] : Value(), a.size() > 1 ? a[1] : Value(),
                            a.size() > 2 ? a[2] : Value());
        return Value();
      });
  return QPX_Framework_Modem_RegisterUnsolicitedHandlerEx(prefix, invocation, nullptr, lines);
}

template <class T>
Value QPX_Framework_Modem_CreateUnsolicitedHandlerCB(
    std::string_view prefix, const std::shared_ptr<T>& target,
    void (T::*method)(const Value&, const Value&, const Value&),
    std::int32_t (T::*callback)(const Value&, const Value&)) {
  if (!target || method == nullptr || callback == nullptr) return Value();
  std::weak_ptr<T> weak = target;
  auto invocation =
      QPX_Framework_Invocation::Make(target, [weak, method](QPX_Framework_Invocation::Arguments a) {
        if (auto self = weak.lock())
          ((*self).*method)(a.size() > 0 ? a[0] : Value(), a.size() > 1 ? a[1] : Value(),
                            a.size() > 2 ? a[2] : Value());
        return Value();
      });
  auto count =
      QPX_Framework_Invocation::Make(target, [weak, callback](QPX_Framework_Invocation::Arguments a) {
        if (auto self = weak.lock())
          return Value(static_cast<int>(
              ((*self).*callback)(a.size() > 0 ? a[0] : Value(), a.size() > 1 ? a[1] : Value())));
        return Value();
      });
  return QPX_Framework_Modem_RegisterUnsolicitedHandlerEx(prefix, invocation, count, 0);
}

// Removes the handler from the current modem (both ports). Null does nothing.
void QPX_Framework_Modem_RemoveUnsolicitedHandler(const Value& record);

// ---- Modem thread side ----

// A record with no or an empty prefix never matches; otherwise the line matches when it
// begins with the prefix.
bool QPX_Framework_Unsolicited_LineIsForHandler(const Value& line, const Value& record);

// Recognition, run first on every line the port yields: a continuation of the last
// message, or a line some handler claims (queued for delivery when a handler has an
// invocation). YES when the line is unsolicited and so no part of a command response.
bool QPX_Framework_Unsolicited_CheckPrefix(QPX_Framework_Thread_Modem::PortState& port, const Value& line);

// Delivery of the port's queued messages to their handlers' threads; nothing while the last
// message still waits for lines.
void QPX_Framework_Unsolicited_Deliver(QPX_Framework_Thread_Modem::PortState& port);

// "Set Unsolicited": the record made from the package, added to the port's handlers.
Value QPX_Framework_Unsolicited_Add(QPX_Framework_Thread_Modem::PortState& port,
                                    const QPX_Framework_Package& package);
// "Remove Unsolicited": removes the record from both ports.
void QPX_Framework_Unsolicited_Remove(QPX_Framework_Thread_Modem::PortState& first,
                                      QPX_Framework_Thread_Modem::PortState& second, const Value& record);
