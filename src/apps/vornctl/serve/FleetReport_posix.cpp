#include "FleetReport.h"

#include "Arguments.h"
#include "BoxReporter.h"
#include "Commands.h"
#include "FleetTopics.h"
#include "JournalPlace.h"
#include "Output.h"
#include "ProductName.h"
#include "ServeController.h"
#include "Texts.h"
#include "Values.h"
#include "VornVersion.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>

namespace Vornctl::Serve {
namespace {

class BoxReport : public FleetReport {
public:
    BoxReport(Fleet::ReporterSettings settings, Fleet::DeviceSource devices, Console& console)
        : reporter_(std::move(settings), std::move(devices),
                    [&console](const std::string& line) { console.err << line << std::endl; }) {}
    void reloadPassword() override { reporter_.reloadPassword(); }

private:
    Fleet::BoxReporter reporter_;
};

// The host name as a box's name: lower case, what is not [a-z0-9-] as '-'.
std::string defaultBoxName() {
    std::string name = Journal::hostName();
    name = name.substr(0, name.find('.'));
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            c = '-';
    }
    return name;
}

// The option `name` needs --report.
void needsReport(const Options& options, bool given, const char* name) {
    if (given && options.report.empty())
        throw std::invalid_argument(std::string(name) + " needs --report");
}

Fleet::DeviceSource deviceSource(ServeController& controller) {
    Fleet::DeviceSource source;
    source.present = [&controller] {
        std::vector<Fleet::SeenDevice> seen;
        for (const FoundDevice& device : controller.hub().devices(false))
            seen.push_back({formatDeviceId(device.id), device.name, productName(device.deviceType),
                            formatAddress(device.address)});
        return seen;
    };
    source.readSerial = [&controller](const std::string& id, Fleet::DeviceSource::SerialDone done) {
        const auto parsed = parseDeviceId(id);
        return parsed && controller.readSerial(*parsed, std::move(done));
    };
    return source;
}

} // namespace

std::unique_ptr<FleetReport> startFleetReport(const Options& options, ServeController& controller,
                                              const std::string& adapter, Console& console) {
    needsReport(options, !options.reportCa.empty(), "--report-ca");
    needsReport(options, !options.reportUser.empty(), "--report-user");
    needsReport(options, !options.reportPasswordFile.empty(), "--report-password-file");
    needsReport(options, !options.reportCert.empty(), "--report-cert");
    needsReport(options, !options.reportKey.empty(), "--report-key");
    needsReport(options, options.reportInsecure, "--report-insecure");
    needsReport(options, !options.box.empty(), "--box");
    needsReport(options, options.site.has_value(), "--site");
    if (options.report.empty())
        return nullptr;
    if (options.reportCert.empty() != options.reportKey.empty())
        throw std::invalid_argument("--report-cert and --report-key go together");
    if (!options.reportPasswordFile.empty() && options.reportUser.empty())
        throw std::invalid_argument("--report-password-file needs --report-user");

    Fleet::ReporterSettings settings;
    try {
        settings.mqtt.broker = Fleet::parseBrokerUrl(options.report);
    } catch (const Fleet::MqttError& error) {
        throw std::invalid_argument(error.what());
    }
    const auto& broker = settings.mqtt.broker;
    if (!broker.tls && (!options.reportCa.empty() || !options.reportCert.empty()))
        throw std::invalid_argument("--report-ca and --report-cert are for mqtts://");
    if (!broker.tls && !Fleet::isLoopbackHost(broker.host)) {
        if (!options.reportInsecure)
            throw std::invalid_argument(
                "plain mqtt:// to " + broker.host +
                " would carry the journal readable by anyone on the network: use mqtts://, or "
                "--report-insecure to allow it");
        console.err << "Warning: reporting over plain MQTT to " << broker.host
                    << " (--report-insecure): the journal and the password cross the network "
                       "readable by anyone on it"
                    << std::endl;
    }
    settings.box = options.box.empty() ? defaultBoxName() : options.box;
    if (!Fleet::validBoxName(settings.box))
        throw std::invalid_argument(
            "the box's name \"" + settings.box +
            "\" is not 1 to 63 of a-z, 0-9 and '-' (not first): give one with --box");
    settings.mqtt.caFile = options.reportCa;
    settings.mqtt.certFile = options.reportCert;
    settings.mqtt.keyFile = options.reportKey;
    settings.mqtt.user = options.reportUser;
    settings.passwordFile = options.reportPasswordFile;
    if (!settings.passwordFile.empty())
        settings.mqtt.password = Fleet::readPasswordFile(settings.passwordFile);
    settings.site = options.site.value_or("");
    settings.version = Vorn::version;
    settings.adapter = adapter;
    settings.journal = journalPath(options);
    settings.stateFolder = settings.journal.parent_path() / "report";
    return std::make_unique<BoxReport>(std::move(settings), deviceSource(controller), console);
}

} // namespace Vornctl::Serve
