// The user-facing text of every response code: one row per code, a localisation key or a literal text
// shown as it stands. Codes without a row (gaps, every cloud code, 229999) take "Error Code : <code>".
#include <algorithm>
#include <iterator>

#include "tools/QVPrivateTools.h"

namespace {

enum Kind { Key, Literal };
struct ErrorRow {
    int64_t code;
    Kind kind;
    const char *text;  // UTF-8
};

constexpr ErrorRow kErrorRows[] = {
    {-3, Key, "QV_More_Rename_Special_Characters"},
    {-1, Literal, "return error"},
    {0, Literal, "任务成功"},
    {100002, Key, "QV_Remind_Logout_Fail"},
    {100049, Key, "QV_Setting_Upgrade_Fail"},
    {110000, Key, "QV_SetUI_Failed_Operation"},
    {110001, Literal, "命令无效"},
    {110002, Literal, "json数据格式非法"},
    {110003, Literal, "JSON参数错误"},
    {110005, Literal, "上传需指定长度"},
    {110006, Literal, "文件路径过长"},
    {110007, Key, "QV_Tasklist_Remind_Error3"},
    {110008, Literal, "获取绑定码失败"},
    {110009, Literal, "校验绑定码失败"},
    {110010, Literal, "设置用户信息失败"},
    {110011, Literal, "获取授权码失败"},
    {110012, Literal, "获取P2P信息失败"},
    {110017, Key, "QV_Login_Prompt_Password_Error"},  // followed by "(110017)"
    {110100, Literal, "无权限"},
    {110102, Literal, "服务器繁忙"},
    {110103, Literal, "请求超时"},
    {110104, Literal, "内存不够"},
    {110105, Literal, "文件系统错误"},
    {110106, Literal, "申请内存错误"},
    {110107, Literal, "系统错误"},
    {110108, Literal, "客户端信息删除失败"},
    {110109, Literal, "获取服务列表失败"},
    {110200, Literal, "移动操作失败"},
    {110201, Literal, "创建文件失败"},
    {110202, Key, "QV_Tasklist_Remind_Error0"},
    {110203, Literal, "获取文件列表失败"},
    {110204, Literal, "创建文件夹失败"},
    {110205, Key, "QV_More_Rename_Updata_Error"},
    {110206, Literal, "获取文件属性失败"},
    {110207, Literal, "下载动作失败"},
    {110208, Literal, "上传检查失败"},
    {110209, Literal, "上传动作失败"},
    {110210, Key, "QV_Remind_Operate_Delete_Failed"},
    {110211, Literal, "获取磁盘信息失败"},
    {110212, Literal, "文件夹为空"},
    {110213, Literal, "检查备份文件信息失败"},
    {110214, Literal, "备份文件信息失败"},
    {110215, Key, "QV_SetUI_Failed_Operation"},
    {110216, Key, "QV_Tasklist_Remind_Nospace"},
    {110217, Literal, "移动文件或者文件夹失败"},
    {110218, Key, "QV_Tasklist_Remind_Error2"},
    {110219, Literal, "登录失败，需要重新输入密码"},
    {110220, Literal, "the root password is exist"},
    {110221, Literal, "set password error"},
    {110222, Literal, "old password error"},
    {110223, Literal, "should login again"},
    {110224, Literal, "the root password is not exist"},
    {110225, Literal, "文件模糊搜索失败"},
    {110226, Literal, "reset password error"},
    {110227, Literal, "获取缩略图失败"},
    {110229, Literal, "秒传检查出错"},
    {110230, Literal, "create thumbail error"},
    {110240, Key, "QV_Tag_Remind_Fail"},
    {110241, Literal, "get records list error"},
    {110242, Literal, "network is not in remote mode"},
    {110251, Literal, "UCI 错误"},
    {110252, Literal, "脚本运行失败"},
    {110253, Literal, "MCU失败"},
    {110254, Literal, "网络通信失败"},
    {110255, Key, "QV_setting_upgrade_fail_illegal_fw"},
    {110256, Key, "QV_setting_upgrade_fail_illegal_fw"},
    {110257, Key, "QV_setting_upgrade_fail_illegal_fw"},
    {110258, Literal, "升级校验不通过，电量条件不满足"},
    {110259, Key, "QV_setting_upgrade_fail_illegal_fw"},
    {110260, Key, "QV_setting_upgrade_fail_illegal_fw"},
    {110261, Literal, "添加网络扫描失败"},
    {110263, Key, "QV_Tag_Remind_Fail"},
    {110264, Literal, "获取用户管理员密码异常"},
    {110265, Key, "QV_Admin_Toast_Limit_Fail"},
    {110266, Key, "QV_Admin_Toast_Limit_Fail"},
    {110267, Literal, "获取系统信息异常"},
    {110268, Key, "QV_Admin_Toast_Limit_Fail"},
    {110269, Literal, "获取存储状态信息失败"},
    {110270, Literal, "设置允许绑定标志"},
    {110271, Literal, "获取允许绑定标志"},
    {110272, Key, "QV_Remind_Unable_Bound"},
    {110273, Literal, "获取设备ID失败"},
    {110274, Literal, "http客户端请求失败"},
    {110275, Key, "QV_Admin_Invite_Error_Unregistered"},
    {110276, Literal, "获取用户控制限制错误"},
    {110277, Key, "QV_Admin_Toast_Limit_Fail"},
    {110278, Literal, "限制空间小于已用空间"},
    {110279, Literal, "限制空间大于磁盘空间"},
    {110280, Key, "QV_Remind_Operate_Delete_Failed"},
    {110281, Literal, "获取用户空间状态失败"},
    {110282, Key, "QV_Remind_NO_Userspace"},
    {110283, Literal, "http download error"},
    {110284, Literal, "server has force update version fw"},
    {110285, Literal, "fw updating now"},
    {110286, Literal, "fw ota update failed"},
    {110315, Literal, "当前文件被锁住"},
    {113002, Literal, "user name is not exist"},
    {113100, Literal, "admin pwd verify error"},
    {113101, Literal, "admin authorize error"},
    {113102, Literal, "get bucket info error"},
    {113103, Literal, "get bucket info error"},
    {114000, Literal, "get bucket info error"},
    {115000, Literal, "socket error"},
    {120000, Literal, "unknow error"},
    {120001, Literal, "client self error code"},
    {120002, Literal, "the disk is invalid,and the disk should be initialized"},
    {120003, Literal, "the database is updating"},
    {120004, Literal, "get database update process error"},
    {120005, Key, "QV_Tasklist_Remind_Nospace_User"},
    {120006, Key, "QV_Tasklist_Remind_Error5"},
};

static_assert(std::is_sorted(std::begin(kErrorRows), std::end(kErrorRows),
                             [](const ErrorRow &a, const ErrorRow &b) { return a.code < b.code; }));

}  // namespace

QString QVPrivateTools::getErrorMessage(int64_t code) {
    const auto *row = std::lower_bound(std::begin(kErrorRows), std::end(kErrorRows), code,
                                       [](const ErrorRow &r, int64_t c) { return r.code < c; });
    if (row == std::end(kErrorRows) || row->code != code)
        return QStringLiteral("Error Code : ") + QString::number(code);
    const QString text = QString::fromUtf8(row->text);
    if (row->kind == Literal) return text;
    const QString message = localizedOrKey(text);
    if (code == 110017) return message + QStringLiteral("(110017)");
    return message;
}
