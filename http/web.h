// Serves one request on an accepted connection and ends the process: status 1 once a file
// has been sent, status 3 through the logger after a refusal.
#pragma once

[[noreturn]] void web(int client, int number);
