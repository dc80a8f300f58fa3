#include "cloud/CloudDeviceApi.h"

#include "cloud/QVInterfaceManage.h"

namespace {

class ClientDeviceApi final : public CloudDeviceApi {
  public:
    explicit ClientDeviceApi(QVInterfaceManage *client) : m_client(client) {}
    void getDeviceInfoByBC(const QString &bindCode, Completion completion) override {
        client().qvOAuth2GetDeviceInfoByBC(bindCode, std::move(completion));
    }
    void getDeviceP2PInfo(const QVNasDeviceInfoPtr &device, const QString &ak,
                          Completion completion) override {
        client().qvOAuth2ServiceGetDeviceP2PInfo(device, ak, std::move(completion));
    }
    void getDeviceAuthCode(const QVNasDeviceInfoPtr &device, const QString &ak,
                           Completion completion) override {
        client().qvOAuth2ServiceGetDeviceAuthCode(device, ak, std::move(completion));
    }
    void bindDevice(const QVNasDeviceInfoPtr &device, const QString &ak, Completion completion) override {
        client().qvOAuth2ServiceBindDevice(device, ak, std::move(completion));
    }

  private:
    QVInterfaceManage &client() { return m_client ? *m_client : QVInterfaceManage::sharedApiManage(); }
    QVInterfaceManage *m_client;
};

}  // namespace

std::shared_ptr<CloudDeviceApi> CloudDeviceApi::over(QVInterfaceManage *client) {
    return std::make_shared<ClientDeviceApi>(client);
}
