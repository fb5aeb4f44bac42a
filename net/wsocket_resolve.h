#pragma once
// Host, port and protocol texts to numbers. They raise ESocketException directly.
#include <cstdint>
#include <string>

uint32_t WSocketResolveHost(const std::string& Host);  // IPv4 address, network byte order
uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);  // host order
int WSocketResolveProto(const std::string& Proto);
bool IsDottedAddress(const std::string& Text);
int LeadingNumber(const std::string& Text);  // the decimal digits at the start, after blanks
