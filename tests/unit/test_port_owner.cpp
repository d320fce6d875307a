// Whom a base address's three ports belong to, and the I/O ranges of a registry resource list,
// over the table of cases in tests/data/port_owner.txt.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "link/decisions/port_owner.h"
#include "split.h"

namespace {
TEST(PortOwner, AnswersAsTheTableSays)
{
    std::ifstream table(QUORVA_TEST_DATA "/port_owner.txt");
    std::vector<DeviceInfo> devices;
    bool listed = true;
    int cases = 0;
    for (std::string line, word, rest; std::getline(table, line);) {
        std::istringstream in(line);
        word = rest = "";
        in >> word >> std::ws;
        std::getline(in, rest);
        std::vector<IoRange> ranges;
        unsigned first, last;
        const std::vector<std::string> fields = split(rest, '|');
        for (const std::string& range : split(fields.back(), ' '))
            if (word == "device" && std::sscanf(range.c_str(), "%x-%x", &first, &last) == 2)
                ranges.push_back(IoRange{static_cast<uint16_t>(first), static_cast<uint16_t>(last)});
        cases += !word.empty() && word[0] != '#';
        if (word == "device") {
            const std::vector<std::string> ids = fields.at(3).empty() ? std::vector<std::string>{} : split(fields[3], ',');
            devices.push_back(DeviceInfo{fields.at(0), fields.at(1), fields.at(2), ids, ranges});
        } else if (word == "list") {
            devices.clear();
            listed = rest != "none";
        } else if (word == "bytes") {
            std::vector<unsigned char> bytes;
            for (size_t at = 3; rest[at] != '='; ++at)
                if (rest[at] != ' ')
                    bytes.push_back(static_cast<unsigned char>(std::stoul(rest.substr(at++, 2), nullptr, 16)));
            std::string found = parse_resource_list(bytes.data(), bytes.size(), rest[0] == '2', ranges) ? "" : "bad";
            char range[16];
            for (const IoRange& r : found.empty() ? ranges : std::vector<IoRange>{})
                found += (found.empty() ? "" : " ") + std::string(range, std::snprintf(range, sizeof range, "%X-%X", r.first, r.last));
            EXPECT_EQ(found.empty() ? "none" : found, rest.substr(rest.find('=') + 2)) << line;
        } else if (!word.empty() && word[0] != '#') {
            const std::string refusal = port_owner_refusal(static_cast<uint16_t>(std::stoul(word, nullptr, 16)), listed ? &devices : nullptr);
            EXPECT_EQ(refusal.empty() ? "used" : refusal, rest) << line;
        }
    }
    EXPECT_GT(cases, 0) << "cases read from tests/data/port_owner.txt";
}
}  // namespace
