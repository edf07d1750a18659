#pragma once

#include "Output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Network {
struct AdapterInfo;
}

// The JSON bodies of vornctl serve's API (nlohmann-json): what it answers and
// the one body it reads.
namespace Vornctl::Serve {

// {"error": "text"}
std::string errorJson(std::string_view message);

// An answer to a serial write that carries no report (nothing was sent, or
// the journal failed): {"result": code, "error": text}, with "warnings" (a
// list of texts) when there are any and, for a refused duplicate, "holder":
// {"id", "name" (null: not read)}.
struct WriteRefusal {
    std::string result; // the outcome's code: "duplicate", "not-found", ...
    std::string error;
    std::vector<std::string> warnings;
    std::optional<std::uint64_t> holderId;
    std::optional<std::string> holderName;
};
std::string refusalJson(const WriteRefusal& refusal);
// A program run that stopped: {"error": "text", "rows": [...]}, the rows done
// so far as the run's own answer lists them.
std::string programFailureJson(std::string_view message, const std::vector<ProgramRow>& rows);

// {"interface": {"description", "address", "mac", "mask"}, "devices": [{"id",
// "name" (null until read), "product", "type", "address", "mode"}, ...]}
// `dropped`: new devices not kept for want of room since the start.
std::string devicesJson(const Network::AdapterInfo& adapter, const std::vector<FoundDevice>& rows,
                        std::uint64_t dropped = 0);

// {"description", "address", "mac", "mask"}: the interface alone; with
// "dropped" (see devicesJson) when given.
std::string interfaceJson(const Network::AdapterInfo& adapter,
                          std::optional<std::uint64_t> dropped = std::nullopt);

// {"certificate", "authority"}: the SHA-256 ("AB:CD:...") of the served
// certificate and of serve's own authority, each null when there is none.
// {"name", "role"}: who is signed in (GET /api/session).
std::string sessionJson(std::string_view name, std::string_view role);
std::string certificateJson(std::string_view certificate, std::string_view authority);

// {"id", "serial"}
std::string serialJson(std::uint64_t id, std::uint32_t serial);

// The answer to a serial number write: {"id", "old" (null: not read), "new",
// "readBack" (null: not read), "result", "detail"}.
struct WriteReport {
    std::uint64_t id = 0;
    std::optional<std::uint32_t> before;
    std::uint32_t target = 0;
    std::optional<std::uint32_t> after;
    std::string result; // the outcome's code: "verified", "refused", ...
    std::string detail;
};
// With "warnings" (a list of texts) when there are any.
std::string writeJson(const WriteReport& report, const std::vector<std::string>& warnings = {});

// The body of PUT /api/devices/ID/serial: {"serial": N, "repeat": N}, both
// integers in 0..4294967295 and equal, and optionally "allowDuplicate": a
// boolean (false when missing), stored in `*allowDuplicate`. The number, or
// nothing with `error` saying what is wrong.
std::optional<std::uint32_t> parseSerialWrite(std::string_view body, std::string& error,
                                              bool* allowDuplicate = nullptr);

} // namespace Vornctl::Serve
