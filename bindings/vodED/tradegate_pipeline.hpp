#pragma once
// The meta-label pipeline of the optimal-entry classifier: its nineteen parameters, the
// scikit-learn stages they describe, and the feature steps that fit on training rows and
// apply to any other rows (cross-validation test rows, live feature rows). The search, the
// final fit and prediction all go through these functions, so the three cannot drift apart.

#include "common/common.hpp"
#include "common/studies.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora::tradegate {

namespace py = pybind11;
namespace vb = velmora::bind;

inline constexpr double kVarianceThreshold = 0.05;
inline constexpr double kCorrelationThreshold = 0.95;

// One pipeline's parameters, as drawn by a trial or read back from the best trial.
// Values stay host objects: they go to scikit-learn exactly as optuna stored them.
struct PipelineParams {
  py::object score_func_to_use, select_top_k_features_percentile, classifier_model_to_use;
  py::object ada_n_estimators, ada_learning_rate;
  py::object lr_penalty, lr_c, lr_class_weight, lr_max_iter, lr_l1_ratio;
  py::object cnb_alpha, gnb_var_smoothing;
  py::object bagging_n_estimators, bagging_max_samples, bagging_max_features;
  py::object imputer_to_use, knn_n_neighbors, knn_weights, simple_strategy;
};

// The nineteen parameters as a trial draws them, in order: what the draws below ask for and
// what the best trial's parameters are checked against.
const std::vector<vb::studies::SearchParam>& search_space();

// Draws parameters 1 to 15 (selector and model) on an optuna trial, in search-space order.
void draw_model_params(py::handle trial, PipelineParams& params);
// Draws parameters 16 to 19 (imputer).
void draw_imputer_params(py::handle trial, PipelineParams& params);
// Reads all nineteen from a trial's `params` mapping; a missing key raises KeyError.
PipelineParams read_params(py::handle params_mapping);

// The seed of numpy's global generator while a pipeline of these parameters is fitted: the
// stochastic stages (bagging's draws, mutual information's noise, the solvers' shuffling)
// draw from it. It follows from the parameters and the study's base seed alone, so a trial
// scores the same in every process and worker, and the final fit of the best trial starts
// from the draws that trial started from. Numbers count by value (5, 5.0 as drawn or as read
// back from the study), text by its characters.
std::uint32_t pipeline_seed(const PipelineParams& params, std::uint32_t base_seed);

// Stage constructors. An unknown category raises ValueError naming the value.
py::object make_selector(const PipelineParams& params);
py::object make_classifier(const PipelineParams& params);
py::object make_imputer(const PipelineParams& params);
py::object make_variance_filter();
py::object make_scaler();

// Reads which API the installed scikit-learn has; called once when the module loads.
void detect_library_api();

// LogisticRegression with the search's penalty, whatever the installed scikit-learn calls it.
py::object make_logistic_regression(py::handle penalty, py::handle c, py::handle class_weight,
                                    py::handle l1_ratio, py::handle max_iter);

// A new frame: |x| > 1e15 and infinities missing, |x| <= 1e-8 exactly 0, NaN kept; same
// index and column labels. The argument is never written to.
py::object clean_feature_frame(py::handle frame);

// (frame without the columns that correlate above 0.95 with a column to their left, list
// of the dropped labels). The argument is never written to.
std::pair<py::object, py::list> features_without_high_correlation(py::handle frame);

// The stage objects of one pipeline before fitting; a trial refits them fold after fold.
struct PipelineStages {
  py::object imputer, variance_filter, scaler, selector, classifier;
};

// Builds every stage from the parameters (the imputer only when `with_imputer`: a trial
// makes a fresh one per fold).
PipelineStages make_stages(const PipelineParams& params, bool with_imputer);

// The six fitted stages, under the names of the model file's keys.
struct FittedPipeline {
  py::object imputer, no_variance_cols, features_to_drop_from_multicollinearity, scaler,
      select_top_k_features, classifier_model;
};

// Fits imputer, variance filter, correlation filter, scaler and selector of `stages` on X
// (labels y) and returns the matrix the classifier is fitted on. `fitted` receives the
// fitted feature stages, kept positions and dropped labels (its classifier is untouched).
py::object fit_feature_steps(py::handle X, py::handle y, const PipelineStages& stages,
                             FittedPipeline& fitted);

// Runs rows through the fitted feature steps (only transforms; nothing is refitted).
py::object apply_feature_steps(py::handle Z, const FittedPipeline& fitted);

// The values of a series as a numpy array. Zone-aware datetimes become zone-less UTC
// datetime64 (what `.values` gave before pandas deprecated it for them).
py::object plain_values(py::handle series);

// np.ravel(series.values): labels exactly as stored.
py::object flat_values(py::handle series);

}  // namespace velmora::tradegate
