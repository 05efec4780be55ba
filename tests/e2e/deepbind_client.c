/* For the end-to-end tests: a library that fetches a path over HTTP with the C library's own
 * socket calls, for a program to open with RTLD_DEEPBIND (as PHP opens its curl extension). */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

__attribute__((visibility("default"))) long fetch(int port, const char* path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        return -1;
    }
    char request[512];
    const int length = snprintf(request, sizeof request,
                                "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                                path);
    if (length <= 0 || send(fd, request, (size_t)length, 0) != length) {
        close(fd);
        return -1;
    }
    char buffer[4096];
    long total = 0;
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        total += got;
    }
    close(fd);
    return total;
}
