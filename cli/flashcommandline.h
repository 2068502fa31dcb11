#pragma once

// The command line of qr740-flash, read into a record by a pure function, so
// that every rule can be checked case by case.

#include "flashoptions.h"

#include <QString>

#include <string>
#include <string_view>
#include <vector>

// "programmed", "failed", ...: the outcomes --outcome takes.
bool IsFlashOutcome(std::string_view text);

// Reads the command line, program name first. --help, --version and an error
// end the reading where they stand.
TFlashOptions ParseFlashOptions(const std::vector<std::string>& arguments);

QString FlashUsage();
// "qr740-flash 3.03"
QString FlashVersionLine();
