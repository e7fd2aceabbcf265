#pragma once
// Network profiles and the modem model table.
//
// A SIM is known by its IMSI; its operator's dial-up settings (access point, user, password,
// proxies, DNS servers, SMS centre) come from two profile files of the bundle's resources,
// keyed by IMSI prefix: "Networks-Project.xml" (the operator's own file, source 3) wins over
// "Networks-VOQ.xml" (the product-wide file, source 2) at equal prefix length, and the
// longest prefix of at least 5 characters that has an entry wins overall. The model table
// "VOQPhones.xml" maps the modem's model and manufacturer texts (AT+CGMM, AT+CGMI) to a
// product number and an LTE flag.
//
// Profile file:
//   <Networks>
//     <Network IMSI="26202" VOQ="12">          IMSI prefix (4+ characters), product number
//       <Name>Vodafone.de</Name>
//       <SMS-SC>+491722270333</SMS-SC>
//       <GPRS>
//         <APN>web.vodafone.de</APN> <User/> <Password/> <Proxy-File/> <HTTP-Proxy/>
//         <DNS><Server>10.0.0.1</Server>...</DNS>
//         <AskCredentials/>                    (its presence alone counts)
//       </GPRS>
//     </Network>
//   </Networks>
// Model table:
//   <PHONES><DEVICE VOQ="1001" LTE="yes"><CGMM>E398</CGMM><CGMI>huawei</CGMI></DEVICE></PHONES>
//
// Tables are loaded on first use and kept for the life of the process; every function may be
// called from any thread.

#include <optional>
#include <string>
#include <string_view>

#include "framework/util/xml.h"
#include "platform/value.h"

// Keys of a profile record. (The first five keep their historical spelling.)
extern const char* const QPX_Framework_Proflle_Source_Key;         // "Source": 2 or 3
extern const char* const QPX_Framework_Proflle_IMSI_Key;           // "IMSI": the prefix
extern const char* const QPX_Framework_Proflle_VOQID_Key;          // "VOQ ID"
extern const char* const QPX_Framework_Proflle_Name_Key;           // "Name"
extern const char* const QPX_Framework_Proflle_ServiceCenter_Key;  // "SMS-SC"
extern const char* const QPX_Framework_Profile_GPRS_Key;           // "GPRS"
// Keys of its GPRS dictionary.
extern const char* const QPX_Framework_Profile_GPRS_APN_Key;             // "APN"
extern const char* const QPX_Framework_Profile_GPRS_User_Key;            // "User"
extern const char* const QPX_Framework_Profile_GPRS_Password_Key;        // "Password"
extern const char* const QPX_Framework_Profile_GPRS_ProxyFile_Key;       // "Proxy File"
extern const char* const QPX_Framework_Profile_GPRS_HTTPProxy_Key;       // "HTTP Proxy"
extern const char* const QPX_Framework_Profile_GPRS_DNS_Key;             // "DNS": array of addresses
extern const char* const QPX_Framework_Profile_GPRS_AskCredentials_Key;  // "Ask Credentials"
// Never read from the profile files; profiles the user edits may hold them.
extern const char* const QPX_Framework_Profile_GPRS_Authentication_Key;  // "Authentication"
extern const char* const QPX_Framework_Profile_PhoneNumber_Key;          // "Phone Number"

// Profile sources.
constexpr int QPX_Framework_Profile_Source_Product = 2;   // "Networks-VOQ.xml"
constexpr int QPX_Framework_Profile_Source_Operator = 3;  // "Networks-Project.xml"

// Keys of a modem model record.
extern const char* const QPX_Framework_VOQPhone_CGMM_Key;   // "CGMM"
extern const char* const QPX_Framework_VOQPhone_CGMI_Key;   // "CGMI"
extern const char* const QPX_Framework_VOQPhone_VOQID_Key;  // "VOQ ID"
extern const char* const QPX_Framework_VOQPhone_LTE_Key;    // "LTE": YES, only for LTE models
// The product number of a model that is not in the table.
constexpr int QPX_Framework_VOQPhone_UnknownID = 999999;

// "Combined": the radio technologies of a merged scan entry, one bit per technology.
extern const char* const QPX_Framework_Networks_Network_GenerationCombined_Key;

// The profile for the IMSI: one record, or an array of records (several networks share the
// prefix) in ascending "VOQ ID" order; null when no prefix of 5 or more characters has one.
Value QPX_Framework_GetProfile(std::string_view imsi);
// The operator file's table: prefix -> record or array of records.
Value QPX_Framework_GetProjectProfiles();
// The product-wide file's table.
Value QPX_Framework_GetVOQProfiles();
// One record for the IMSI (the first of an array), or null. Without an IMSI, the current
// modem's "QPX CIMI" is used; no IMSI there either gives null.
Value QPX_Framework_DefaultProfile(const std::optional<std::string>& imsi = std::nullopt);
// "VOQ ID" and "Name" of the IMSI's first profile; null without IMSI or profile.
Value QPX_Framework_GetVOQID(const std::optional<std::string>& imsi);
Value QPX_Framework_GetVOQName(const std::optional<std::string>& imsi);

// The model record for the model and manufacturer texts (either may be missing). Never
// null: an unknown pair gets a record with "VOQ ID" 999999, kept, so asking again answers
// the same record. Manufacturers that name the same company under different texts find
// each other's models.
Value QPX_Framework_GetVOQPhone(const std::optional<std::string>& model,
                                const std::optional<std::string>& manufacturer);

// Parses an XML fragment returned by the operator's services: the bytes as UTF-8 or, failing
// that, as Windows code page 1251, wrapped in a <VOQ> root element. Null when the bytes are
// neither or the fragment is not well-formed.
QPX_Framework_XML_Element QPX_Framework_ParseVOQXML(std::string_view bytes);

// Merges the lines of an operator scan ({"IMSI", "Name", "Short Name", "Status", "RAT"})
// that differ only in their radio technology: one entry per network whose "RAT" and
// "Combined" hold the bit (1 << RAT) of every technology it was seen on. Lines without
// "IMSI" are kept as they are (their RAT turned into its bit), first.
Value QPX_Framework_Networks_CombineTechnology(const Value& networks);

// --- For tests -----------------------------------------------------------------------------

// Reads one profile file into a table (empty when missing, unreadable or with another root).
Value _QPX_Framework_LoadProfileFile(const std::string& path, int source);
// Makes the next lookup read the tables from this resources folder instead of the bundle's
// (nullopt: the bundle's again), forgetting every table and cached answer.
void _QPX_Framework_Profiles_SetResourcesFolder(const std::optional<std::string>& folder);
