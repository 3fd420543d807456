// The container's health probe: the same executable started as `zolt-probe [PORT]` (the image
// holds /zolt-probe as a second name of /zolt), for runtimes that check health by running a
// command in the container, whose image has no shell, curl or wget. zolt's own two-argument
// command line is untouched.
#pragma once

// True where the program was started under the probe's name.
bool started_as_probe(const char* program);

// Asks the zolt on 127.0.0.1:PORT (8181 without an argument) for GET / and returns 0 when it
// answers 200 within PROBE_SECONDS, else 1 with the reason on standard output.
int probe_health(int argc, char** argv);
