// The device identity calls of the runtime: registering this client with the logged-in device as an
// external device, and reading the device's bind code, id, version and function list. Each runs one
// device-user command on the caller's thread.
#pragma once

#include <cstdint>

#include "command/exdev_manage.h"

// Registers the client (command 12) under `dev_name` and `dev_uuid` (each cut to 64 characters) and lists
// it among the external devices. The listed entry: the existing one for a uuid already listed (its name
// unchanged), else a new one; it belongs to the list and stays valid until the service stops. Null with
// "dev_name or dev_uuid is null" for a missing text, with "device register error" when the device refused
// or the exchange failed, and null when no service runs (the list exists only while one does).
exdev_dnode *ppc_device_register(const char *dev_name, const char *dev_uuid, int64_t token);

// Bind code (command 10) of the device at `ip` (not the current device) into `bindCode` (33 bytes). 0, the
// device call's failure, or -1 with "NULL == bindCode" for a missing address or buffer.
int ppc_get_BindCode(const char *ip, char *bindCode);
// Device id (command 11) of the current device into `deviceId` (65 bytes). 0, the call's failure, or -1
// with "NULL == deviceId".
int ppc_get_DeviceID(char *deviceId);
// Device version (command 1) into `version` (32 bytes); answered without an exchange once this device's
// version is known. 0, the call's failure, or -1 with "NULL == version".
int ppc_get_DeviceVersion(char *version, int64_t token);
// The device's function list, the "statusFlag" of command 15, into `*funcList`: QV_GetFuncList's result.
int ppc_GetFuncList(int32_t *funcList, int64_t token);
