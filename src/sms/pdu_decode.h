#pragma once
// Decoding SMS PDUs as a modem returns them in PDU mode (service-centre address first, then
// the TPDU, 3GPP TS 23.040) into the decoded dictionary the SMS subsystem works with.
//
// Decoded dictionary:
//   "Service Center"  both      address dictionary (empty when its length octet is 0)
//   "TP-OA"           DELIVER   originating address
//   "TP-PID"          DELIVER   integer
//   "TP-DCS"          DELIVER   integer 0-255
//   "TP-SCTS"         both      date: the service-centre time stamp
//   "TP-UDH"          DELIVER   user-data header, only when TP-UDHI is set
//   "TP-UD (Bits)"    DELIVER   bit buffer (Value object): the user-data bits after the
//                               header, only for a part of a concatenated message
//   "TP-UD"           DELIVER   text, or data for 8-bit messages; absent when there is none
//   "TP-MR"           REPORT    integer 0-255: the reported submission
//   "TP-DA"           REPORT    the recipient address (TP-RA)
//   "TP-DT"           REPORT    date: discharge time
//   "TP-ST"           REPORT    integer 0-255; 0 when the PDU ends before it
// A report is told apart by "TP-ST" and "TP-MR"; there is no type key.
//
// Address dictionary: "Number" (digits of "0123456789*#abc", "+" first for an international
// number, or the text of an alphanumeric address), "Type-of-number" (0-7),
// "Numbering-plan-identification" (0-15).
//
// The decoder is a pure function of the bytes: it keeps no state and may run on any thread.

#include <cstddef>
#include <cstdint>

#include "platform/value.h"
#include "sms/bit_buffer.h"

// The decoded dictionary of a binary PDU (data), or null when it cannot be decoded: an
// empty or malformed PDU, a message type other than DELIVER and STATUS-REPORT, a status
// report on a command, a bad time stamp or an unsupported data coding scheme. Never a partial
// dictionary. A value that is not data is logged and gives null.
Value QPX_Framework_SMS_Decode(const Value& pdu);
Value QPX_Framework_SMS_Decode(const std::uint8_t* bytes, std::size_t length);

// True when the decoded dictionary's "TP-UDH" holds the concatenation element "00" and its
// "Max Segments" is not 1.
bool QPX_Franework_SMS_Raw_IsConcatenated(const Value& decoded);

// "<Type-of-number>:<Numbering-plan-identification>:<Number>" of an address dictionary; the
// assembler's concatenation key is built from it.
std::string QPX_Framework_Module_SMS_Assemble_Address_MakeString(const Value& address);

// The number of an address dictionary or phone-book entry ("Number", or the "Number" of a
// "Number" dictionary); a string is its own number; null for anything that does not end in
// a string.
Value QPX_Framework_SMS_GetNumberFromObject(const Value& object);
