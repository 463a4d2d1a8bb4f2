// CLI11 helpers shared by kmquery's commands. Main thread only.
#pragma once

#include <strings.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kmquery {

template <typename T>
using Choices = std::vector<std::pair<std::string, T>>;

// An option whose value is one word of `choices` (any case), stored in
// *target as the number that goes with it. A wrong word is a usage error
// that lists the words.
template <typename T>
CLI::Option *AddChoiceOption(CLI::App *app, const std::string &name, T *target,
                             const Choices<T> &choices, const std::string &help) {
  std::vector<std::string> words;
  std::string text;
  for (const auto &c : choices) {
    words.push_back(c.first);
    text += (text.empty() ? "" : "|") + c.first;
  }
  return app
      ->add_option_function<std::string>(
          name,
          [target, choices](const std::string &value) {
            for (const auto &c : choices)
              if (strcasecmp(c.first.c_str(), value.c_str()) == 0) *target = c.second;
          },
          help)
      ->check(CLI::IsMember(words, CLI::ignore_case))
      ->option_text(text);
}

}  // namespace kmquery
