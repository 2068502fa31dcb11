#pragma once

// Waiting for a condition while the Qt event loop runs, so that hand-offs from
// the port's event thread and timers are served meanwhile. Never a fixed sleep.

#include <chrono>
#include <functional>

// Runs the event loop until `condition` holds or `deadline` passes; returns the
// condition's last value.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Runs the event loop for `period`; for checking that something does NOT happen.
void RunEventsFor(std::chrono::milliseconds period);
