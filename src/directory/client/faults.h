// Failure on demand: makes any client call fail at its Nth use with a chosen code, so every
// failure path of the program can be exercised through the real code.
//
// Tests call failCall(); whole-process runs can set KORVANEX_CLIENT_FAULTS to a list such as
// "NWDSSearch:2:-625,NWDSGetAttrVal:1:-303" (call:occurrence:code) or "NWDSSearch:delay:200",
// read by NWCallsInit.
#pragma once

#include "nwdsclient.h"

#include <string>

namespace kvx::client::faults {

// The `occurrence`th call (1 = the next one) of `callName` from now on returns `code` without
// doing anything else. Several rules may be armed at once, also for the same call.
void failCall(const std::string& callName, int occurrence, NWDSCCODE code);
// Every call of `callName` from the `occurrence`th on fails with `code`.
void failCallFrom(const std::string& callName, int occurrence, NWDSCCODE code);
// Every call of `callName` from now on takes `milliseconds` longer (a slow server), and then
// does its work as usual.
void delayCall(const std::string& callName, int milliseconds);
void clear();

// Called by each client call on entry: counts the use and returns the code to fail with, or 0.
NWDSCCODE check(const char* callName);

// Parses KORVANEX_CLIENT_FAULTS-style text and arms its rules; false for malformed text.
bool armFromText(const std::string& text);

} // namespace kvx::client::faults
