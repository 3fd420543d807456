/* The ceiling of a fork-per-connection server: accept, fork, and let the child read the
 * request, write a fixed 1 KiB answer, optionally end its sending side and linger one second
 * as zolt does, close and exit. Nothing is opened, logged or parsed.
 * Usage: responder PORT LINGER-SECONDS */
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    static char answer[2048];
    static const char head[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\nConnection: close\r\n"
        "Content-Type: text/html\r\n\r\n";
    memcpy(answer, head, sizeof head - 1);
    memset(answer + sizeof head - 1, 'x', 1024);
    const size_t answer_size = sizeof head - 1 + 1024;
    const unsigned linger = (unsigned)atoi(argv[2]);

    signal(SIGCHLD, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0) return 1;
    if (listen(listener, 64) != 0) return 1;
    for (;;) {
        const int client = accept(listener, NULL, NULL);
        if (client < 0) continue;
        if (fork() == 0) {
            char request[8192];
            close(listener);
            if (read(client, request, sizeof request) > 0 &&
                write(client, answer, answer_size) > 0 && linger > 0) {
                shutdown(client, SHUT_WR);
                sleep(linger);
            }
            close(client);
            _exit(0);
        }
        close(client);
    }
}
