#pragma once
// GStreamer for tests: a private registry holding the frame dump element from the build tree
// (unless a test asks for one without it) and the few stock plug-ins the tests use, scanned
// in the test process; log files in the test's temporary folder.

#include <string>
#include <vector>

// Initialises GStreamer once per process; the first call decides withPlugin.
void InitGstreamerForTests(bool withPlugin = true);

// A fresh log file path in the test's temporary folder.
std::string FreshLogPath(const std::string& name);
// The file's lines with the "<n>ms " clock prefix removed.
std::vector<std::string> LogLines(const std::string& path);
// The lines that begin with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
