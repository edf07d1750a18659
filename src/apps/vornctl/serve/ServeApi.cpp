#include "ServeApi.h"

#include "AccessControl.h"
#include "ApiJson.h"
#include "DeviceHistory.h"
#include "JournalFile.h"
#include "JournalView.h"
#include "ProductName.h"
#include "QrCode.h"
#include "SerialPlan.h"
#include "ServeController.h"
#include "Texts.h"

namespace Vornctl::Serve {
namespace {

ApiResponse json(int status, std::string body) {
    return {status, "application/json", std::move(body)};
}

ApiResponse failure(int status, std::string_view message) {
    return json(status, errorJson(message));
}

// The QR code's size on the page: a phone's camera reads it from an arm's length.
constexpr int qrPixels = 264;

std::string linkSvg(const std::string& link) {
    const auto code = QrCode::encode(link);
    return code ? code->svg(qrPixels) : std::string();
}

} // namespace

ServeApi::ServeApi(ServeController& controller, Network::AdapterInfo adapter,
                   std::filesystem::path journal, const std::string& link)
    : controller_(controller), adapter_(std::move(adapter)), journal_(std::move(journal)),
      linkQr_(linkSvg(link)) {}

void ServeApi::setLink(const std::string& link) {
    std::string svg = linkSvg(link);
    std::lock_guard<std::mutex> lock(linkMutex_);
    linkQr_ = std::move(svg);
}

void ServeApi::setCertificate(std::string certificate, std::string authority) {
    std::lock_guard<std::mutex> lock(linkMutex_);
    certificate_ = std::move(certificate);
    authority_ = std::move(authority);
}

std::shared_ptr<EventQueue> ServeApi::subscribe(bool all, std::function<void()> wake) {
    return controller_.hub().subscribe(all, std::move(wake));
}

std::optional<WriteRefusal> ServeApi::deviceRefusal(const Route& route) {
    const auto device = controller_.hub().device(route.device);
    const std::string id = formatDeviceId(route.device);
    if (!device)
        return WriteRefusal{"not-found", "device " + id + " is not on the network", {}, {}, {}};
    if (!route.all && !isServicedType(device->deviceType))
        return WriteRefusal{"not-serviced",
                            "device " + id + " is a " + productName(device->deviceType) +
                                ", not an Ondal 2 or Ondal 4; add ?all=1 to act on it anyway",
                            {},
                            {},
                            {}};
    return std::nullopt;
}

bool ServeApi::knownDevice(const Route& route, const Reply& reply) {
    const auto refusal = deviceRefusal(route);
    if (refusal)
        reply(failure(404, refusal->error));
    return !refusal;
}

void ServeApi::handle(const Route& route, std::string_view contentType, std::string body,
                      Reply reply) {
    using Kind = Route::Kind;
    switch (route.kind) {
    case Kind::Devices:
        return reply(json(200, devicesJson(adapter_, controller_.hub().devices(route.all),
                                           controller_.devicesDropped())));
    case Kind::Interface:
        return reply(json(200, interfaceJson(adapter_, controller_.devicesDropped())));
    case Kind::DevicesCsv:
        return reply({200, "text/csv; charset=utf-8",
                      formatDeviceCsv(controller_.hub().devices(route.all))});
    case Kind::SerialRead: {
        if (!knownDevice(route, reply))
            return;
        const std::uint64_t id = route.device;
        if (!controller_.readSerial(id, [reply, id](std::optional<std::uint32_t> serial) {
                reply(serial ? json(200, serialJson(id, *serial))
                             : failure(504, "the device did not answer"));
            }))
            reply(failure(404, "device " + formatDeviceId(id) + " has gone"));
        return;
    }
    case Kind::SerialWrite: {
        // Every answer to a write names its outcome in "result".
        const auto refuse = [&reply](int status, WriteRefusal refusal) {
            reply(json(status, refusalJson(refusal)));
        };
        std::string error;
        bool allowDuplicate = false;
        const auto serial = parseSerialWrite(body, error, &allowDuplicate);
        if (!serial)
            return refuse(400, {"invalid", error, {}, {}, {}});
        if (auto refusal = deviceRefusal(route))
            return refuse(404, std::move(*refusal));
        if (!controller_.writeSerial(route.device, *serial, allowDuplicate, route.client, route.person,
                                     [reply](const WriteAnswer& answer) {
                                         reply(json(answer.status,
                                                    answer.report
                                                        ? writeJson(*answer.report, answer.warnings)
                                                        : refusalJson(answer.refusal)));
                                     }))
            refuse(503, {"busy", "too many serial writes are waiting; try again", {}, {}, {}});
        return;
    }
    case Kind::Select:
    case Kind::Deselect:
        if (!knownDevice(route, reply))
            return;
        controller_.select(route.device, route.kind == Kind::Select);
        return reply({204, "", ""});
    case Kind::Journal:
        if (!knownDevice(route, reply))
            return;
        // Read afresh: other programs append to the journal too.
        try {
            return reply(json(200, formatJournalJson(Journal::readDeviceHistory(
                                       journal_, formatDeviceId(route.device)))));
        } catch (const Journal::JournalError& error) {
            return reply(failure(500, error.what()));
        }
    case Kind::Program:
        return program(route, contentType, body, reply);
    case Kind::Metrics: {
        MetricsSnapshot snapshot = controller_.metrics();
        if (access_)
            snapshot.access = access_->figures();
        return reply({200, metricsContentType, formatMetrics(snapshot)});
    }
    case Kind::Session:
        return reply(json(200, sessionJson(route.person, roleName(route.role))));
    case Kind::LinkQr: {
        std::unique_lock<std::mutex> lock(linkMutex_);
        std::string svg = linkQr_;
        lock.unlock();
        if (svg.empty())
            return reply(failure(404, "the link does not fit in a QR code"));
        return reply({200, "image/svg+xml", std::move(svg)});
    }
    case Kind::Certificate: {
        std::unique_lock<std::mutex> lock(linkMutex_);
        std::string body = certificateJson(certificate_, authority_);
        lock.unlock();
        return reply(json(200, std::move(body)));
    }
    default:
        return reply(failure(404, "no such resource"));
    }
}

void ServeApi::program(const Route& route, std::string_view contentType, const std::string& body,
                       const Reply& reply) {
    const std::string_view type = contentType.substr(0, contentType.find(';'));
    if (type != "text/csv")
        return reply(failure(415, "the body must be a CSV file (Content-Type: text/csv)"));
    SerialPlan plan = parseSerialPlan(body);
    if (!plan.errors.empty()) {
        std::string errors = formatPlanErrors(plan.errors);
        while (!errors.empty() && errors.back() == '\n')
            errors.pop_back();
        return reply(failure(400, errors));
    }
    if (!controller_.program(std::move(plan.entries), route.dryRun, route.all, route.client,
                             route.person, [reply](const ProgramAnswer& answer) {
                                 reply(answer.status == 200
                                           ? json(200, formatProgramJson(answer.rows))
                                           : json(answer.status,
                                                  programFailureJson(answer.error, answer.rows)));
                             }))
        reply(failure(409, "another serial program run is going on"));
}

} // namespace Vornctl::Serve
