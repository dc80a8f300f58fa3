<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>QV</name>
    <message>
        <source>QV_Admin_HDD_FileSystem_Time</source>
        <translation>%s days %s:%s:%s</translation>
    </message>
    <message>
        <source>QV_Admin_Invite_Error_Unregistered</source>
        <translation>This account is not registered</translation>
    </message>
    <message>
        <source>QV_Admin_Toast_Limit_Fail</source>
        <translation>Failed to set the space limit</translation>
    </message>
    <message>
        <source>QV_Control_Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>QV_File_Manager_Document</source>
        <translation>Documents</translation>
    </message>
    <message>
        <source>QV_File_Manager_Image</source>
        <translation>Pictures</translation>
    </message>
    <message>
        <source>QV_File_Manager_Music</source>
        <translation>Music</translation>
    </message>
    <message>
        <source>QV_File_Manager_Unknown</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>QV_File_Manager_Video</source>
        <translation>Videos</translation>
    </message>
    <message>
        <source>QV_Initialize_Remind_Format_Fail</source>
        <translation>Formatting the disk failed</translation>
    </message>
    <message>
        <source>QV_Login_Private_Fail</source>
        <translation>Signing in to the device failed</translation>
    </message>
    <message>
        <source>QV_Login_Prompt_Password_Error</source>
        <translation>Wrong password</translation>
    </message>
    <message>
        <source>QV_Login_Remind_Enter_Password</source>
        <translation>Enter the password</translation>
    </message>
    <message>
        <source>QV_MAC_File_Delete_Remind</source>
        <translation>Delete the selected items?</translation>
    </message>
    <message>
        <source>QV_MAC_Login_Device_Notready</source>
        <translation>The device is not ready. Try again later.</translation>
    </message>
    <message>
        <source>QV_More_Rename_Special_Characters</source>
        <translation>The name cannot contain special characters</translation>
    </message>
    <message>
        <source>QV_More_Rename_Updata_Error</source>
        <translation>Rename failed</translation>
    </message>
    <message>
        <source>QV_Private_Btn_Open</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>QV_Private_Remind_Set_Password</source>
        <translation>Set a password for the hidden space</translation>
    </message>
    <message>
        <source>QV_Remind_Clear_Wait</source>
        <translation>Clearing the cache…</translation>
    </message>
    <message>
        <source>QV_Remind_Data_Processing</source>
        <translation>Processing…</translation>
    </message>
    <message>
        <source>QV_Remind_Logout_Fail</source>
        <translation>Log-out failed</translation>
    </message>
    <message>
        <source>QV_Remind_NO_Userspace</source>
        <translation>No user space</translation>
    </message>
    <message>
        <source>QV_Remind_Network_Change</source>
        <translation>The network changed. Reconnecting…</translation>
    </message>
    <message>
        <source>QV_Remind_Operate_Delete_Failed</source>
        <translation>Delete failed</translation>
    </message>
    <message>
        <source>QV_Remind_Operate_Delete_Success</source>
        <translation>Deleted</translation>
    </message>
    <message>
        <source>QV_Remind_Unable_Bound</source>
        <translation>The device cannot be bound</translation>
    </message>
    <message>
        <source>QV_SetUI_Failed_Operation</source>
        <translation>Operation failed</translation>
    </message>
    <message>
        <source>QV_SetUI_Success_Operation</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>QV_Setting_Upgrade_Fail</source>
        <translation>Upgrade failed</translation>
    </message>
    <message>
        <source>QV_Tag_Art</source>
        <translation>Art</translation>
    </message>
    <message>
        <source>QV_Tag_Family</source>
        <translation>Family</translation>
    </message>
    <message>
        <source>QV_Tag_Food</source>
        <translation>Food</translation>
    </message>
    <message>
        <source>QV_Tag_Landscape</source>
        <translation>Landscape</translation>
    </message>
    <message>
        <source>QV_Tag_Parenting</source>
        <translation>Parenting</translation>
    </message>
    <message>
        <source>QV_Tag_Photography</source>
        <translation>Photography</translation>
    </message>
    <message>
        <source>QV_Tag_Remind_Fail</source>
        <translation>Tag operation failed</translation>
    </message>
    <message>
        <source>QV_Tag_Selftimer</source>
        <translation>Selfie</translation>
    </message>
    <message>
        <source>QV_Tag_Tourism</source>
        <translation>Travel</translation>
    </message>
    <message>
        <source>QV_Tasklist_Error_Server_Timeout</source>
        <translation>The server did not answer in time</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Error0</source>
        <translation>The file does not exist</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Error2</source>
        <translation>The name already exists</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Error3</source>
        <translation>No permission</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Error5</source>
        <translation>The task failed</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Nospace</source>
        <translation>Not enough space on the device</translation>
    </message>
    <message>
        <source>QV_Tasklist_Remind_Nospace_User</source>
        <translation>Not enough space in your user space</translation>
    </message>
    <message>
        <source>QV_setting_upgrade_fail_illegal_fw</source>
        <translation>Illegal firmware</translation>
    </message>
</context>
</TS>
