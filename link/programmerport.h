#pragma once

// The line as the controller's boot ROM expects it.

class TVaCustomComm;

// Sets a closed port up as the boot ROM expects the line: 9600 baud 8N1, no
// flow control, DTR and RTS held low, and a notification for every received
// character, which the stages' handlers read.
void SetUpProgrammerPort(TVaCustomComm& port);
