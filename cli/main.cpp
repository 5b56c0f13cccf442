// udtbench-cli's entry: everything is in RunCommandLineBench.
#include "command_line_bench.h"

int main(int argc, char** argv) { return RunCommandLineBench(argc, argv); }
