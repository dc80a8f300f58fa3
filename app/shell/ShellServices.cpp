#include "shell/ShellServices.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "broker/QVNasResponseInfo.h"
#include "session/QVSingletonData.h"

AppDelegateServices programServices() {
    AppDelegateServices s;
    s.startService = [](QVCodeBlock done) {
        QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStartServiceWithGatewayIp(
            QString(), [done](const QVNasResponseInfoPtr &r) {
                if (done) done(r ? r->responseCode : -1);
            });
    };
    s.stopService = [](QVCodeBlock done) {
        QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStopServiceWithCompletion(
            [done](const QVNasResponseInfoPtr &r) {
                if (done) done(r ? r->responseCode : -1);
            });
    };
    // No device connection exists before the device-connect sequence is wired: nothing to disconnect.
    s.disconnectDevice = [](QVCodeBlock done) {
        if (done) done(0);
    };
    s.quitTransportLifeCycle = [] {};
    s.setIsStartSDKService = [](bool started) {
        QVSingletonData::sharedManager().isStartSDKService = started;
    };
    return s;
}
