#include "shell/shell_program.h"

int main(int argc, char** argv) {
    return kestravon::ruvi::runProgram(argc, argv);
}
