#pragma once
// Allocations the GUI libraries make once per process and keep until exit (font caches, the
// JavaScript engine's atom table). LeakSanitizer builds of the program and of the tests that
// drive GTK hand these to __lsan_default_suppressions; only library frames are named, so a leak
// of ours still shows.

namespace kestravon::ruvi {

inline constexpr const char* kGuiLeakSuppressions = "leak:libfontconfig.so\n"
                                                    "leak:libexpat.so\n"
                                                    "leak:libpangoft2-1.0.so\n"
                                                    "leak:libpango-1.0.so\n"
                                                    "leak:libcairo.so\n"
                                                    "leak:libjavascriptcoregtk-4.1.so\n"
                                                    "leak:libwebkit2gtk-4.1.so\n"
                                                    "leak:libgtk-3.so\n"
                                                    "leak:libgdk-3.so\n";

} // namespace kestravon::ruvi
