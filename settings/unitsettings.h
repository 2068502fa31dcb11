#pragma once

// Where a bench's units get their identity: a series of serial numbers named
// in Loader.ini, written into each unit through the parameter file's
// placeholder (paramlines.h).
//
//     [Serial Numbers]
//     Format=QR%06d
//     First=1
//     Last=999999

#include "unitseries.h"

#include <QString>

#include <optional>

class TIniFile;

struct TUnitSettings {
    std::optional<TUnitSeries> Series; // none without a Format
    QString Error;                     // what is wrong with the section; empty when sound
};

TUnitSettings ReadUnitSettings(const TIniFile& ini);
