#pragma once

// This computer's IPv4 address as dotted text: the host name's address, or, when that is a
// loopback address, the first non-loopback address of an interface that is up. False (text
// untouched) when capacity is below 16 or no address is found.
bool GetMyIp(char* text, int capacity);
