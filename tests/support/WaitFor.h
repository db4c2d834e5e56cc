#pragma once
// The one way tests wait for a condition: poll it until it holds or a generous time-out
// passes. With a Qt application in the process its event loop keeps turning meanwhile, so
// queued window messages and signals are delivered while the test waits.

#include <chrono>
#include <functional>

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30));
