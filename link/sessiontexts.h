#pragma once

// What the session's states and outcomes are called: the window's texts, and
// the short names a program reads (JSON events, the journal).

#include "sessionevents.h"

#include <QString>

#include <cstdint>

// The status text shown on entering a stage; empty for values past the last stage.
QString StageText(LoaderStage stage);

// The installed firmware version as the window shows it: 303 is "3.03".
QString VersionText(std::uint16_t hundredths);

// A flash address as the messages show it: 0x4000.
QString AddressText(std::uint32_t address);

// Names for programs: "waiting-for-target", "programmed", "no-response"...
const char* StatusName(TSessionStatus status);
const char* OutcomeName(TOutcome outcome);
const char* FailureName(TFailure failure);
