// The host's side of the web panel: what the panel may call on the registry,
// and its start at start-up.
#include "core/Logger.h"
#include "db/SqliteDatabase.h"
#include "server/Server.h"
#include "webpanel/PanelHost.h"
#include "webpanel/WebPanelServer.h"

namespace Korrafin {

namespace {

// The registry operations the panel calls, forwarded to the host.
class HostForPanel final : public PanelHost {
public:
    explicit HostForPanel(Server& s) : s_(s) {}

    std::vector<std::shared_ptr<VirtualServer>> allVServers() const override { return s_.allVServers(); }
    std::shared_ptr<VirtualServer> getVServer(uint16_t id) const override { return s_.getVServer(id); }
    bool isVServerRunning(uint16_t id) const override { return s_.isVServerRunning(id); }
    // Typed panel paths come from whoever holds a panel session, not from
    // the operator; the blank default is the server's own choice.
    CreateResult createVServer(const VirtualServer::VSConfig& cfg, DbPathSource source) override {
        return s_.createVServer(cfg, source == DbPathSource::Typed ? Server::DbPathRule::Confined
                                                                   : Server::DbPathRule::PanelDefault);
    }
    bool removeVServer(uint16_t id) override { return s_.removeVServer(id); }
    bool pauseVServer(uint16_t id) override { return s_.pauseVServer(id); }
    bool resumeVServer(uint16_t id) override { return s_.resumeVServer(id); }
    bool saveVServersToConfig() override { return s_.saveVServersToConfig(); }
    void onBotTokenRevoked(int64_t tokenId) override { s_.onBotTokenRevoked(tokenId); }

private:
    Server& s_;
};

}  // namespace

void Server::startWebPanel(const std::string& password) {
    // Only the boolean false turns it off: "false" as text, or a number, does not.
    if (!config_.get<bool>("server.webPanel.enabled", true)) return;
    const int port = config_.get<int>("server.webPanel.port", 9380);
    panelHost_ = std::make_unique<HostForPanel>(*this);
    webPanel_ = std::make_unique<WebPanelServer>(panelHost_.get(), masterDb_, configPath_);
    if (webPanel_->start(port, password)) {
        Logger::instance().logf(LogLevel::Info, "Web panel gestartet: http://0.0.0.0:{}/", port);
    } else {
        Logger::instance().logf(LogLevel::Warn, "Web panel konnte nicht gestartet werden (port={} belegt)", port);
    }
}

}  // namespace Korrafin
