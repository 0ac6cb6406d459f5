#pragma once
// Where the meta-label model lives, named alike by the classifier that writes it and by the
// factor that watches it.

#include <string>

namespace velmora::bind::model_files {

// What the classifier's study and model names add to the factor's name.
inline constexpr const char* kStudySuffix = "_OptimalEntryClassifier";
// Relative to the working directory.
inline constexpr const char* kModelFolder = "../vodED/saved_models/";

inline std::string model_file_of_study(const std::string& study_name) {
  return std::string(kModelFolder) + study_name + ".pkl";
}

inline std::string model_file_of_factor(const std::string& factor_name) {
  return model_file_of_study(factor_name + kStudySuffix);
}

}  // namespace velmora::bind::model_files
