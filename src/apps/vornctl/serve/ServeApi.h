#pragma once

#include "ApiJson.h"
#include "HttpServer.h"
#include "Output.h"
#include "transport/Enumerator.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace Vornctl::Serve {

class AccessControl;
class ServeController;

// The JSON API of vornctl serve over the controller: one request in, one
// answer out (later, from the engine's threads, for what asks the devices).
class ServeApi : public RequestHandler {
public:
    // `adapter`: the interface the controller runs on, as listed; `journal`:
    // the journal file the devices' histories are read from; `link`: the
    // address with the token that serve printed, drawn as a QR code for the
    // page's "Open on another device".
    ServeApi(ServeController& controller, Network::AdapterInfo adapter,
             std::filesystem::path journal, const std::string& link);

    // The link with a new token (after a reload); any thread.
    void setLink(const std::string& link);
    // The SHA-256 ("AB:CD:...") of the certificate served and of serve's own
    // authority, for the page (GET /api/certificate); empty: none. Any thread.
    void setCertificate(std::string certificate, std::string authority);
    // Where /metrics finds the guard's figures; set before serving.
    void showAccess(const AccessControl& access) { access_ = &access; }

    void handle(const Route& route, std::string_view contentType, std::string body,
                Reply reply) override;
    std::shared_ptr<EventQueue> subscribe(bool all, std::function<void()> wake) override;

private:
    // Why the route's device cannot be acted on (not on the network, another
    // product without ?all=1), with the code a write's answer gives; none: it can.
    std::optional<WriteRefusal> deviceRefusal(const Route& route);
    // The device the request names, or an answer (404) already given.
    bool knownDevice(const Route& route, const Reply& reply);
    void program(const Route& route, std::string_view contentType, const std::string& body,
                 const Reply& reply);

    ServeController& controller_;
    const Network::AdapterInfo adapter_;
    const std::filesystem::path journal_;
    mutable std::mutex linkMutex_;
    std::string linkQr_; // guarded by linkMutex_; the QR code as SVG, empty when the link does not
                         // fit in one
    std::string certificate_; // guarded by linkMutex_
    std::string authority_;   // guarded by linkMutex_
    const AccessControl* access_ = nullptr;
};

} // namespace Vornctl::Serve
