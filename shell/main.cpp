#include "shell/gui_leak_suppressions.h"
#include "shell/shell_program.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
    return kestravon::ruvi::kGuiLeakSuppressions;
}
#endif

int main(int argc, char** argv) {
    return kestravon::ruvi::runProgram(argc, argv);
}
