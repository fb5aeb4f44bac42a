#pragma once
// The baseline of bench_chatd: the least a line relay can do. One epoll loop on 127.0.0.1:Port;
// every line a client sends (up to and including its LF) goes to every connected client, the
// sender included, in the order read. No telnet, no logins, no limits, no log.
#include <cstdint>

// Listens and relays until the process is killed; returns only when it cannot listen.
int RunChatRelay(uint16_t Port);
