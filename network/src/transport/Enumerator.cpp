#include "transport/Enumerator.h"

#include "Exception.h"

#include <algorithm>

namespace Network {

namespace {

const char* const sourceUnit = "src/Enumerator";
const char* const sizeFailedText = "Failed to get network adapters size info";
const char* const listFailedText = "GetAdaptersInfo - Failed to get network adapters info";
const char* const noAddress = "0.0.0.0";

} // namespace

Enumerator::Enumerator() : Enumerator(&Enumerator::querySystem) {}

Enumerator::Enumerator(Query query) : query_(std::move(query)) {
    refresh();
}

void Enumerator::refresh() {
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_.clear();
    std::vector<AdapterEntry> entries;
    switch (query_(entries)) {
    case QueryResult::ok:
        break;
    case QueryResult::sizeFailed:
        throw Network::FailedToEnumerateNetworkException(sourceUnit, __LINE__, sizeFailedText);
    case QueryResult::listFailed:
        throw Network::FailedToEnumerateNetworkException(sourceUnit, __LINE__, listFailedText);
    }
    adapters_ = buildRecords(entries);
}

unsigned Enumerator::adapterCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(adapters_.size());
}

AdapterInfo Enumerator::adapterAt(unsigned index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return adapters_.at(index);
}

std::string Enumerator::formatMac(const unsigned char* bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(17);
    for (int i = 0; i < 6; ++i) {
        if (i != 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::vector<AdapterInfo> Enumerator::buildRecords(const std::vector<AdapterEntry>& adapters) {
    std::vector<AdapterInfo> records;
    for (const AdapterEntry& adapter : adapters) {
        unsigned char mac[6] = {};
        std::copy_n(adapter.hardwareAddress.begin(),
                    std::min<std::size_t>(adapter.hardwareAddress.size(), 6), mac);
        const std::string macText = formatMac(mac);
        if (adapter.addresses.empty()) {
            records.push_back({noAddress, macText, noAddress, adapter.description});
            continue;
        }
        for (const auto& [address, mask] : adapter.addresses)
            records.push_back({address, macText, mask, adapter.description});
    }
    return records;
}

} // namespace Network
