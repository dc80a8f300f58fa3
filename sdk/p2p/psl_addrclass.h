// Classing peer addresses as private (the LAN route) or not (P2P).
#pragma once

// 1 when the dotted IPv4 text is in 10/8, 172.16/12 or 192.168/16; 0 otherwise and for invalid text.
int _PSL_IsPrivateIPv4(const char *text);
// 1 when the address text is private: the IPv4 rule for IPv4 texts and for IPv4 carried in IPv6 (mapped
// ::ffff:0:0/96 or NAT64 64:ff9b::/96, in any spelling), link-local fe80::/10 for IPv6; 0 otherwise.
int _PSL_IsPrivateAddress(const char *text);
