// What the extension knows about each instrument model, in one place: the
// baud rates discovery tries, the sampling-rate codes of each model's rate
// enumeration, the high rate with its short stream packets, and the Plus
// Prime edition that alone offers it (and TEDS). vexlo_tools.models keeps
// the same facts for the toolkit; a test checks that the two agree.
// Plain C++, no Python objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexlo::models
{

// A member of a rate enumeration: SPS_2_5 is 2.5 samples per second.
struct Rate
{
    const char* member;
    int code;
};

struct Model
{
    const char* name;         // as the instrument reports it
    std::vector<long> bauds;  // in the order discovery tries them
    const std::vector<Rate>* rates;
    // Docstring of <name>SamplingRateEnum; "%s" stands for the name.
    const char* rates_doc;
};

// The model with editions, and its Plus Prime edition's item number.
constexpr const char* kEditionModel = "PLX310";
constexpr const char* kPlusPrimeItemNumber = "QMT31872";
// SHA-256 of kPlusPrimeItemNumber in hexadecimal: the form in which the
// sampling-rate gate compares the item number.
constexpr const char* kPlusPrimeItemDigest =
    "4dc49e167489eafad8e43e43483943772e08ede30da147f7916ebbc08b638874";

// The PLX310's 38,400 SPS code: only the Plus Prime may be set to it, and
// it streams three-byte packets (stream_core.hpp's ShortPacket).
constexpr int kHighRateCode = 15;

inline const std::vector<Rate>& plx310_rates()
{
    static const std::vector<Rate> rates = {
        {"SPS_2_5", 0},   {"SPS_5", 1},      {"SPS_10", 2},     {"SPS_16_6", 3},
        {"SPS_20", 4},    {"SPS_50", 5},     {"SPS_60", 6},     {"SPS_100", 7},
        {"SPS_400", 8},   {"SPS_1200", 9},   {"SPS_2400", 10},  {"SPS_4800", 11},
        {"SPS_7200", 12}, {"SPS_14000", 13}, {"SPS_19200", 14}, {"SPS_38400", kHighRateCode},
    };
    return rates;
}

// The rates the three compact models share.
inline const std::vector<Rate>& compact_rates()
{
    static const std::vector<Rate> rates = {
        {"SPS_4", 0},   {"SPS_20", 1},  {"SPS_50", 2},  {"SPS_100", 3},
        {"SPS_200", 4}, {"SPS_500", 5}, {"SPS_850", 6}, {"SPS_1300", 7},
    };
    return rates;
}

constexpr const char* kPlx310RatesDoc =
    "Sampling rates available for PLX310 devices.\n"
    "\n"
    "Supports rates from 2.5 SPS to 38,400 SPS.\n"
    "Note: The 38,400 SPS rate (SPS_38400) is only available on PLX310 Plus Prime.\n"
    "\n"
    "Available rates: 2.5, 5, 10, 16.6, 20, 50, 60, 100, 400, 1200,\n"
    "2400, 4800, 7200, 14000, 19200, 38400 samples per second.\n";

constexpr const char* kCompactRatesDoc =
    "Sampling rates available for %s devices.\n"
    "\n"
    "Supports rates from 4 SPS to 1300 SPS.\n"
    "Available rates: 4, 20, 50, 100, 200, 500, 850, 1300 samples per second.\n";

// The known models, in the order discovery and the module list them.
inline const std::vector<Model>& table()
{
    static const std::vector<Model> models = {
        {"PLX310", {2000000}, &plx310_rates(), kPlx310RatesDoc},
        {"MVR420", {320000, 115200}, &compact_rates(), kCompactRatesDoc},
        {"DTA530", {320000, 115200}, &compact_rates(), kCompactRatesDoc},
        {"HSK640", {320000, 115200}, &compact_rates(), kCompactRatesDoc},
    };
    return models;
}

// The baud rates of the given models (indices into the table), in the order
// the models come, each rate once: a rate shared by two models is probed once.
inline std::vector<long> bauds_for_models(const std::vector<std::size_t>& indices)
{
    std::vector<long> bauds;
    for (std::size_t index : indices)
        for (long baud : table()[index].bauds)
            if (std::find(bauds.begin(), bauds.end(), baud) == bauds.end())
                bauds.push_back(baud);
    return bauds;
}

// Every model of the table, in table order.
inline std::vector<std::size_t> all_models()
{
    std::vector<std::size_t> indices(table().size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = i;
    return indices;
}

}  // namespace vexlo::models
