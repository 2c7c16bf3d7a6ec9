// Which baud rates discovery tries on each port, from the models asked for.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vexlo
{

struct ModelBauds
{
    const char* model;
    std::vector<long> bauds;  // in the order they are tried
};

// The known models and their baud rates, in table order.
inline const std::vector<ModelBauds>& model_baud_table()
{
    static const std::vector<ModelBauds> table = {
        {"PLX310", {2000000}},
        {"MVR420", {320000, 115200}},
        {"DTA530", {320000, 115200}},
        {"HSK640", {320000, 115200}},
    };
    return table;
}

// The rates of the given models (indices into the table), in the order the
// models come, each rate once: a rate shared by two models is probed once.
inline std::vector<long> bauds_for_models(const std::vector<std::size_t>& models)
{
    const std::vector<ModelBauds>& table = model_baud_table();
    std::vector<long> bauds;
    for (std::size_t index : models)
        for (long baud : table[index].bauds)
            if (std::find(bauds.begin(), bauds.end(), baud) == bauds.end())
                bauds.push_back(baud);
    return bauds;
}

// Every model of the table, in table order.
inline std::vector<std::size_t> all_models()
{
    std::vector<std::size_t> models(model_baud_table().size());
    for (std::size_t i = 0; i < models.size(); ++i)
        models[i] = i;
    return models;
}

}  // namespace vexlo
