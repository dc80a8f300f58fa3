// Notification names the framework posts.
#pragma once

inline constexpr char kNotif_QVAutoPushDeviceAddNotification[] = "QVAutoPushDeviceAddNotification";
inline constexpr char kNotif_QVAutoPushDeviceDelNotification[] = "QVAutoPushDeviceDelNotification";
inline constexpr char kNotif_QVAutoPushUsbBackupInfoListNotification[] =
    "QVAutoPushUsbBackupInfoListNotification";
inline constexpr char kNotif_QVAutoPushUserStatusChangeNotification[] =
    "QVAutoPushUserStatusChangeNotification";
