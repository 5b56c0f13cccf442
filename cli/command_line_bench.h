// udtbench-cli: the bench's pages for scripts and headless hosts.
//   serve [--listen [HOST:]PORT] [--folder DIR] [--json]
//   send HOST[:PORT] FILE... [--json]
//   say HOST[:PORT] TEXT [--count N] [--json]
#pragma once

// The whole program; returns its exit code (TExitCode).
int RunCommandLineBench(int argc, char** argv);
