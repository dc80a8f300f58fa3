// Every notification the application posts or observes, by its exact name.
#pragma once

inline constexpr char kNotif_com_qvNas_TabChanged[] = "com.qvNas.TabChanged";
inline constexpr char kNotif_com_qvNas_UserLogout[] = "com.qvNas.UserLogout";
inline constexpr char kNotif_com_qvNas_deviceShowType[] = "com.qvNas.deviceShowType";
inline constexpr char kNotif_com_qvNas_UserSearchInputEnd[] = "com.qvNas.UserSearchInputEnd";
inline constexpr char kNotif_com_qvNas_UserSearchClosed[] = "com.qvNas.UserSearchClosed";
inline constexpr char kNotif_com_qvNas_filesController_DidPush[] = "com.qvNas.filesController.DidPush";
inline constexpr char kNotif_com_qvNas_selectWindowClose[] = "com.qvNas.selectWindowClose";
inline constexpr char kNotif_com_qvNas_loginSuccess[] = "com.qvNas.loginSuccess";
