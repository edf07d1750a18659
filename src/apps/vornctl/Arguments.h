#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vornctl {

// A command line that cannot be used: exit status 2, the message on stderr.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Action {
    Help,
    Interfaces,
    List,
    Watch,
    SerialGet,
    SerialSet,
    SerialProgram,
    Select,
    Deselect,
    Journal,
    Inventory,
    Version,
    Serve,
    AccessAdd,
    AccessList,
    AccessRevoke,
    Fleet,        // the archive: subscribes to the boxes, stores their journals
    FleetBoxes,   // what the archive holds
    FleetDevices, //
    FleetJournal, //
    FleetForget,  // a box's retained states cleared from the broker and the archive
};

struct Options {
    Action action = Action::Help;
    // --interface, an adapter's IPv4 address or its name; empty when not given.
    // The commands on the network replace a name by its address.
    std::string interfaceAddress;
    std::string interfaceName; // --interface as given (set with the address it names)
    std::optional<std::chrono::milliseconds> wait; // --wait; the action's default when absent
    bool all = false;            // --all: every device type, not only the serviced products
    bool json = false;           // --json
    bool csv = false;            // --csv (list)
    bool dryRun = false;         // --dry-run (serial program): read and compare, write nothing
    bool yes = false;            // --yes: no second entry of the serial number
    bool allowDuplicate = false; // --allow-duplicate: a number another device holds
    std::uint64_t deviceId = 0;
    std::uint32_t serial = 0;
    std::string file;         // serial program: the CSV file of ID,SERIAL lines
    std::string journal;      // --journal: the journal file; empty: the default place
    std::string operatorName; // --operator: who writes; empty: the login name
    std::optional<std::uint64_t> journalDevice;                 // journal --device
    std::optional<std::chrono::system_clock::time_point> since; // journal --since
    // serve
    std::string listen;                  // --listen HOST:PORT; empty: 127.0.0.1:8017
    std::string tokenFile;               // --token-file; empty: a new token each run
    std::vector<std::string> allowHosts; // --allow-host, repeatable
    std::string configFile;              // --config: where the options above may come from
    std::string tlsCertificate;          // --tls-cert FILE (PEM, a chain allowed)
    std::string tlsKey;                  // --tls-key FILE (PEM)
    bool insecureHttp = false;           // --insecure-http: plain HTTP off loopback
    bool qr = false;                     // --qr: the link's QR code also when not on a terminal
    std::string accessFile; // --access-file: the people with links; empty: beside the token file
    // access add, revoke
    std::string person;                // NAME
    bool readOnly = false;             // --read-only
    std::optional<unsigned> expiresIn; // --expires DAYS; none: never
    // The fleet (Linux): serve --report, and vornctl fleet.
    std::string report;                        // --report URL: the broker serve reports to
    std::string reportCa;                      // --report-ca FILE
    std::string reportUser;                    // --report-user NAME
    std::string reportPasswordFile;            // --report-password-file FILE
    std::string reportCert;                    // --report-cert FILE (with --report-key)
    std::string reportKey;                     // --report-key FILE
    bool reportInsecure = false;               // --report-insecure: plain mqtt:// off loopback
    std::string box;                           // --box NAME; fleet forget's BOX
    std::optional<std::string> site;           // --site TEXT
    std::vector<std::string> brokers;          // --broker URL, repeatable
    std::string archive;                       // --archive FILE
    std::string brokerCa;                      // --broker-ca FILE
    std::string brokerUser;                    // --broker-user NAME
    std::string brokerPasswordFile;            // --broker-password-file FILE
    std::string brokerCert;                    // --broker-cert FILE (with --broker-key)
    std::string brokerKey;                     // --broker-key FILE
    std::optional<std::uint32_t> serialFilter; // fleet devices|journal --serial
};

constexpr std::chrono::milliseconds defaultListWait{2000};
constexpr std::chrono::milliseconds defaultDeviceWait{3000};

// The arguments after the program name. Throws UsageError.
Options parseArguments(const std::vector<std::string>& arguments);

std::chrono::milliseconds waitFor(const Options& options);

// The help text.
std::string usage();

// vornctl fleet and its commands.
bool isFleetAction(Action action);

} // namespace Vornctl
