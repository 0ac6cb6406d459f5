// The meta-label pipeline: parameters, stages and feature steps (see tradegate_pipeline.hpp).

#include "common/common.hpp"

#include "tradegate_pipeline.hpp"

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "velmora/core/tradegate/features.hpp"

namespace velmora::tradegate {

namespace vb = velmora::bind;

namespace {

// scikit-learn 1.8 deprecated LogisticRegression's `penalty` (removal in 1.10) in favour of
// `l1_ratio` alone; older releases need `penalty` and reject l1_ratio without elasticnet.
bool lr_penalty_deprecated = false;

// Before scikit-learn 1.6 AdaBoost defaulted to SAMME.R, a different model from the SAMME that
// later releases run alone; those releases must be asked for SAMME by name.
bool ada_needs_samme = false;

py::module_ sklearn(const char* submodule) {
  return py::module_::import((std::string("sklearn.") + submodule).c_str());
}

bool text_is(py::handle value, const char* text) {
  return PyUnicode_Check(value.ptr()) && value.cast<std::string>() == text;
}

bool text_contains(py::handle value, const char* text) {
  return PyUnicode_Check(value.ptr()) &&
         value.cast<std::string>().find(text) != std::string::npos;
}

[[noreturn]] void unknown_category(const char* key, py::handle value) {
  throw py::value_error("Unknown " + std::string(key) + " " + py::repr(value).cast<std::string>() +
                        " in the classifier's parameters");
}

py::object nan() { return vb::numpy().attr("nan"); }

py::list infinities() {
  py::module_ np = vb::numpy();
  py::list values;
  values.append(np.attr("inf"));
  values.append(-np.attr("inf").cast<double>());
  return values;
}

py::object all_rows() { return py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr)); }

// DataFrame(array, columns=labels): the imputers return bare arrays; positions and labels
// must survive for the variance and correlation filters.
py::object frame_with_columns(py::handle array, py::handle columns) {
  return py::module_::import("pandas").attr("DataFrame")(array, py::arg("columns") = columns);
}

}  // namespace

void detect_library_api() {
  py::object signature = py::module_::import("inspect").attr("signature")(
      sklearn("linear_model").attr("LogisticRegression"));
  py::object parameters = signature.attr("parameters");
  lr_penalty_deprecated = false;
  if (parameters.contains("penalty")) {
    py::object default_value = parameters[py::str("penalty")].attr("default");
    lr_penalty_deprecated = text_is(default_value, "deprecated");
  }
  py::object ada_parameters = py::module_::import("inspect").attr("signature")(
      sklearn("ensemble").attr("AdaBoostClassifier")).attr("parameters");
  ada_needs_samme = false;
  if (ada_parameters.contains("algorithm")) {
    py::object default_value = ada_parameters[py::str("algorithm")].attr("default");
    ada_needs_samme = !text_is(default_value, "SAMME") && !text_is(default_value, "deprecated");
  }
}

// ---------------------------------------------------------------- parameters

namespace {

using Param = vb::studies::SearchParam;
using Kind = Param::Kind;

// One parameter of the space and the field of PipelineParams it fills.
struct SpaceEntry {
  Param param;
  py::object PipelineParams::*field;
};

// The nineteen parameters in the order a trial draws them: 1 to 15 (selector and model),
// then 16 to 19 (imputer).
const std::vector<SpaceEntry>& space_entries() {
  static const std::vector<SpaceEntry> entries = {
      {{"score_func_to_use", Kind::category, 0, 0, false, {"f_classif", "mutual_info_classif"}},
       &PipelineParams::score_func_to_use},
      {{"select_top_k_features_percentile", Kind::integer, 20, 100}, &PipelineParams::select_top_k_features_percentile},
      {{"classifier_model_to_use", Kind::category, 0, 0, false,
        {"AdaBoostClassifierLogisticRegression", "AdaBoostClassifierComplementNB", "AdaBoostClassifierGaussianNB",
         "BaggingClassifierLogisticRegression", "BaggingClassifierComplementNB", "BaggingClassifierGaussianNB"}},
       &PipelineParams::classifier_model_to_use},
      {{"AdaBoostClassifier_n_estimators", Kind::integer, 1, 10000, true}, &PipelineParams::ada_n_estimators},
      {{"AdaBoostClassifier_learning_rate", Kind::real, 1e-5, 100.0, true}, &PipelineParams::ada_learning_rate},
      {{"lr_penalty", Kind::category, 0, 0, false, {"l2", "l1", "elasticnet"}}, &PipelineParams::lr_penalty},
      {{"lr_c", Kind::real, 1e-5, 100.0, true}, &PipelineParams::lr_c},
      {{"lr_class_weight", Kind::category, 0, 0, false, {"None", "balanced"}}, &PipelineParams::lr_class_weight},
      {{"lr_max_iter", Kind::integer, 1000, 10000}, &PipelineParams::lr_max_iter},
      {{"lr_l1_ratio", Kind::real, 1e-5, 1.0, true}, &PipelineParams::lr_l1_ratio},
      {{"cnb_alpha", Kind::real, 1e-5, 100.0, true}, &PipelineParams::cnb_alpha},
      {{"gnb_var_smoothing", Kind::real, 1e-12, 100.0, true}, &PipelineParams::gnb_var_smoothing},
      {{"BaggingClassifier_n_estimators", Kind::integer, 1, 10000, true}, &PipelineParams::bagging_n_estimators},
      {{"BaggingClassifier_max_samples", Kind::real, 0.1, 1.0, true}, &PipelineParams::bagging_max_samples},
      {{"BaggingClassifier_max_features", Kind::real, 0.1, 1.0, true}, &PipelineParams::bagging_max_features},
      {{"imputer_to_use", Kind::category, 0, 0, false, {"KNNImputer", "SimpleImputer"}},
       &PipelineParams::imputer_to_use},
      {{"KNNImputer_n_neighbors", Kind::integer, 1, 5}, &PipelineParams::knn_n_neighbors},
      {{"KNNImputer_weights", Kind::category, 0, 0, false, {"uniform", "distance"}}, &PipelineParams::knn_weights},
      {{"SimpleImputer_weights", Kind::category, 0, 0, false, {"mean", "median", "most_frequent", "constant"}},
       &PipelineParams::simple_strategy},
  };
  return entries;
}

constexpr std::size_t kModelParamCount = 15;

// One draw: the key and the bounds (or the choices) by position, `log` only where it is set.
py::object draw(py::handle trial, const Param& p) {
  switch (p.kind) {
    case Kind::category: {
      py::list choices;
      for (const char* choice : p.choices) choices.append(py::str(choice));
      return trial.attr("suggest_categorical")(p.name, choices);
    }
    case Kind::integer: {
      const auto low = static_cast<long long>(p.low), high = static_cast<long long>(p.high);
      if (p.log) return trial.attr("suggest_int")(p.name, low, high, py::arg("log") = true);
      return trial.attr("suggest_int")(p.name, low, high);
    }
    case Kind::real:
      if (p.log) return trial.attr("suggest_float")(p.name, p.low, p.high, py::arg("log") = true);
      return trial.attr("suggest_float")(p.name, p.low, p.high);
  }
  throw std::logic_error("unknown parameter kind");
}

// optuna hands a trial queued with values outside the space (enqueue_trial) those values:
// such a draw fails the trial (the study records it so) before any stage is built on it.
void draw_range(py::handle trial, PipelineParams& params, std::size_t first, std::size_t last) {
  const auto& entries = space_entries();
  for (std::size_t i = first; i < last; ++i) {
    const Param& p = entries[i].param;
    py::object value = draw(trial, p);
    py::dict drawn;
    drawn[p.name] = value;
    const std::string fault = vb::studies::param_fault(drawn, p);
    if (!fault.empty()) throw py::value_error("queued " + fault + ", which the search never draws");
    params.*(entries[i].field) = value;
  }
}

}  // namespace

const std::vector<vb::studies::SearchParam>& search_space() {
  static const std::vector<vb::studies::SearchParam> space = [] {
    std::vector<vb::studies::SearchParam> params;
    for (const SpaceEntry& entry : space_entries()) params.push_back(entry.param);
    return params;
  }();
  return space;
}

void draw_model_params(py::handle trial, PipelineParams& p) { draw_range(trial, p, 0, kModelParamCount); }

void draw_imputer_params(py::handle trial, PipelineParams& p) {
  draw_range(trial, p, kModelParamCount, space_entries().size());
}

PipelineParams read_params(py::handle mapping) {
  auto at = [&](const char* key) -> py::object { return mapping[py::str(key)]; };
  PipelineParams p;
  p.score_func_to_use = at("score_func_to_use");
  p.select_top_k_features_percentile = at("select_top_k_features_percentile");
  p.imputer_to_use = at("imputer_to_use");
  p.knn_n_neighbors = at("KNNImputer_n_neighbors");
  p.knn_weights = at("KNNImputer_weights");
  p.simple_strategy = at("SimpleImputer_weights");
  p.classifier_model_to_use = at("classifier_model_to_use");
  p.ada_n_estimators = at("AdaBoostClassifier_n_estimators");
  p.ada_learning_rate = at("AdaBoostClassifier_learning_rate");
  p.lr_penalty = at("lr_penalty");
  p.lr_c = at("lr_c");
  p.lr_class_weight = at("lr_class_weight");
  p.lr_max_iter = at("lr_max_iter");
  p.lr_l1_ratio = at("lr_l1_ratio");
  p.cnb_alpha = at("cnb_alpha");
  p.gnb_var_smoothing = at("gnb_var_smoothing");
  p.bagging_n_estimators = at("BaggingClassifier_n_estimators");
  p.bagging_max_samples = at("BaggingClassifier_max_samples");
  p.bagging_max_features = at("BaggingClassifier_max_features");
  return p;
}

std::uint32_t pipeline_seed(const PipelineParams& p, std::uint32_t base_seed) {
  py::module_ numbers = py::module_::import("numbers");
  py::object integral = numbers.attr("Integral");
  py::object real = numbers.attr("Real");
  py::module_ builtins = py::module_::import("builtins");
  // One canonical text per value: an integer drawn by optuna and the same integer held as a
  // numpy scalar, or a float read back from the study, give the same text.
  auto canonical = [&](py::handle value) -> std::string {
    if (py::isinstance(value, integral)) return py::str(builtins.attr("int")(value)).cast<std::string>();
    if (py::isinstance(value, real)) return py::repr(builtins.attr("float")(value)).cast<std::string>();
    return py::repr(value).cast<std::string>();
  };
  std::string text = std::to_string(base_seed);
  for (const py::object* value :
       {&p.score_func_to_use, &p.select_top_k_features_percentile, &p.classifier_model_to_use,
        &p.ada_n_estimators, &p.ada_learning_rate, &p.lr_penalty, &p.lr_c, &p.lr_class_weight,
        &p.lr_max_iter, &p.lr_l1_ratio, &p.cnb_alpha, &p.gnb_var_smoothing,
        &p.bagging_n_estimators, &p.bagging_max_samples, &p.bagging_max_features,
        &p.imputer_to_use, &p.knn_n_neighbors, &p.knn_weights, &p.simple_strategy}) {
    text += '\x1f';
    text += canonical(*value);
  }
  // FNV-1a: fixed across platforms and runs, unlike the host's salted string hash.
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

// ---------------------------------------------------------------- stages

py::object make_variance_filter() {
  return sklearn("feature_selection").attr("VarianceThreshold")(py::arg("threshold") = kVarianceThreshold);
}

py::object make_scaler() { return sklearn("preprocessing").attr("MinMaxScaler")(); }

py::object make_selector(const PipelineParams& p) {
  py::module_ selection = sklearn("feature_selection");
  py::object score_func;
  if (text_is(p.score_func_to_use, "f_classif")) {
    score_func = selection.attr("f_classif");
  } else if (text_is(p.score_func_to_use, "mutual_info_classif")) {
    score_func = selection.attr("mutual_info_classif");
  } else {
    unknown_category("score_func_to_use", p.score_func_to_use);
  }
  return selection.attr("SelectPercentile")(py::arg("score_func") = score_func,
                                            py::arg("percentile") = p.select_top_k_features_percentile);
}

py::object make_imputer(const PipelineParams& p) {
  py::module_ impute = sklearn("impute");
  // keep_empty_features: a feature missing in every training row (an indicator without a
  // value on short windows) must keep its column, or positions and labels fall apart.
  if (text_is(p.imputer_to_use, "KNNImputer")) {
    return impute.attr("KNNImputer")(py::arg("n_neighbors") = p.knn_n_neighbors,
                                     py::arg("weights") = p.knn_weights,
                                     py::arg("keep_empty_features") = true);
  }
  if (text_is(p.imputer_to_use, "SimpleImputer")) {
    return impute.attr("SimpleImputer")(py::arg("strategy") = p.simple_strategy,
                                        py::arg("keep_empty_features") = true);
  }
  unknown_category("imputer_to_use", p.imputer_to_use);
}

py::object make_logistic_regression(py::handle penalty, py::handle c, py::handle class_weight,
                                    py::handle l1_ratio, py::handle max_iter) {
  const bool elasticnet = text_is(penalty, "elasticnet");
  py::str solver(elasticnet ? "saga" : "liblinear");
  py::object weight = text_is(class_weight, "None") ? py::object(py::none())
                                                    : py::reinterpret_borrow<py::object>(class_weight);
  py::object cls = sklearn("linear_model").attr("LogisticRegression");
  if (!lr_penalty_deprecated) {
    return cls(py::arg("penalty") = penalty, py::arg("C") = c, py::arg("class_weight") = weight,
               py::arg("l1_ratio") = elasticnet ? py::reinterpret_borrow<py::object>(l1_ratio)
                                                : py::object(py::none()),
               py::arg("max_iter") = max_iter, py::arg("solver") = solver);
  }
  // The penalty is now spelt as the share of L1 in the mix.
  py::object ratio;
  if (text_is(penalty, "l2")) {
    ratio = py::float_(0.0);
  } else if (text_is(penalty, "l1")) {
    ratio = py::float_(1.0);
  } else if (elasticnet) {
    ratio = py::reinterpret_borrow<py::object>(l1_ratio);
  } else {
    unknown_category("lr_penalty", penalty);
  }
  return cls(py::arg("C") = c, py::arg("class_weight") = weight, py::arg("l1_ratio") = ratio,
             py::arg("max_iter") = max_iter, py::arg("solver") = solver);
}

py::object make_classifier(const PipelineParams& p) {
  py::handle choice = p.classifier_model_to_use;
  py::object base;
  if (text_contains(choice, "LogisticRegression")) {
    base = make_logistic_regression(p.lr_penalty, p.lr_c, p.lr_class_weight, p.lr_l1_ratio,
                                    p.lr_max_iter);
  } else if (text_contains(choice, "ComplementNB")) {
    base = sklearn("naive_bayes").attr("ComplementNB")(py::arg("alpha") = p.cnb_alpha);
  } else if (text_contains(choice, "GaussianNB")) {
    base = sklearn("naive_bayes").attr("GaussianNB")(py::arg("var_smoothing") = p.gnb_var_smoothing);
  } else {
    unknown_category("classifier_model_to_use", choice);
  }
  py::module_ ensemble = sklearn("ensemble");
  // `estimator=`: `base_estimator` is gone since scikit-learn 1.4. AdaBoost runs SAMME under
  // every release: named where the default is still SAMME.R, left alone where it is deprecated
  // or gone.
  if (text_contains(choice, "AdaBoostClassifier")) {
    py::object cls = ensemble.attr("AdaBoostClassifier");
    if (ada_needs_samme) {
      return cls(py::arg("estimator") = base, py::arg("n_estimators") = p.ada_n_estimators,
                 py::arg("learning_rate") = p.ada_learning_rate, py::arg("algorithm") = "SAMME");
    }
    return cls(py::arg("estimator") = base, py::arg("n_estimators") = p.ada_n_estimators,
               py::arg("learning_rate") = p.ada_learning_rate);
  }
  if (text_contains(choice, "BaggingClassifier")) {
    return ensemble.attr("BaggingClassifier")(
        py::arg("estimator") = base, py::arg("n_estimators") = p.bagging_n_estimators,
        py::arg("max_samples") = p.bagging_max_samples,
        py::arg("max_features") = p.bagging_max_features, py::arg("bootstrap_features") = true);
  }
  unknown_category("classifier_model_to_use", choice);
}

// ---------------------------------------------------------------- feature steps

py::object clean_feature_frame(py::handle frame) {
  py::module_ np = vb::numpy();
  // An owned float64 copy: the caller's frame (and its possibly read-only buffers) is
  // never written to.
  py::object copied = frame.attr("to_numpy")(py::arg("dtype") = np.attr("float64"),
                                             py::arg("copy") = true);
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(copied);
  if (!values) throw py::error_already_set();
  if (!values.writeable()) values = py::array_t<double, py::array::c_style>(np.attr("array")(values));
  core::clean_feature_values(values.mutable_data(), static_cast<std::size_t>(values.size()));
  return py::module_::import("pandas").attr("DataFrame")(
      values, py::arg("index") = frame.attr("index"), py::arg("columns") = frame.attr("columns"));
}

std::pair<py::object, py::list> features_without_high_correlation(py::handle frame) {
  // Pearson through pandas itself: a re-derived correlation could flip decisions that sit
  // on the 0.95 edge.
  py::object correlation =
      frame.attr("replace")(infinities(), nan()).attr("fillna")(0).attr("corr")().attr("abs")();
  py::array matrix = vb::require_float64(
      correlation.attr("to_numpy")(py::arg("dtype") = vb::numpy().attr("float64")), "correlation", 2);
  const vb::View2D view = vb::view_2d(matrix);
  py::list dropped;
  if (view.rows == view.cols && view.rows > 0) {
    const std::vector<std::size_t> columns = core::highly_correlated_columns(
        view.data, static_cast<std::size_t>(view.rows), view.row_stride, view.col_stride,
        kCorrelationThreshold);
    py::object labels = correlation.attr("columns");
    for (std::size_t j : columns) dropped.append(labels[py::int_(j)]);
  }
  py::object reduced = frame.attr("drop")(dropped, py::arg("axis") = 1);
  return {reduced, dropped};
}

py::object plain_values(py::handle series) {
  py::object dtype = series.attr("dtype");
  if (py::hasattr(dtype, "tz") && !dtype.attr("tz").is_none()) {
    py::object naive = py::hasattr(series, "dt") ? series.attr("dt").attr("tz_convert")(py::none())
                                                 : series.attr("tz_convert")(py::none());
    return naive.attr("to_numpy")();
  }
  return series.attr("to_numpy")();
}

py::object flat_values(py::handle series) {
  return vb::numpy().attr("ravel")(series.attr("values"));
}

PipelineStages make_stages(const PipelineParams& params, bool with_imputer) {
  PipelineStages stages;
  stages.imputer = with_imputer ? make_imputer(params) : py::object(py::none());
  stages.variance_filter = make_variance_filter();
  stages.scaler = make_scaler();
  stages.selector = make_selector(params);
  stages.classifier = make_classifier(params);
  return stages;
}

py::object fit_feature_steps(py::handle X, py::handle y, const PipelineStages& stages,
                             FittedPipeline& fitted) {
  py::module_ np = vb::numpy();
  py::object cleaned = clean_feature_frame(X);
  py::object imputed =
      frame_with_columns(stages.imputer.attr("fit_transform")(cleaned), cleaned.attr("columns"));
  stages.variance_filter.attr("fit")(imputed);
  py::object kept_positions = stages.variance_filter.attr("get_support")(py::arg("indices") = true);
  py::object kept = imputed.attr("iloc")[py::make_tuple(all_rows(), kept_positions)];
  auto [reduced, dropped] = features_without_high_correlation(kept);
  py::object scaled = stages.scaler.attr("fit_transform")(reduced);
  py::object labels = np.attr("ravel")(np.attr("asarray")(y, py::arg("dtype") = np.attr("int8")));
  py::object selected = stages.selector.attr("fit_transform")(scaled, labels);
  fitted.imputer = stages.imputer;
  fitted.no_variance_cols = kept_positions;
  fitted.features_to_drop_from_multicollinearity = dropped;
  fitted.scaler = stages.scaler;
  fitted.select_top_k_features = stages.selector;
  return selected;
}

py::object apply_feature_steps(py::handle Z, const FittedPipeline& fitted) {
  py::object cleaned = clean_feature_frame(Z);
  py::object imputed =
      frame_with_columns(fitted.imputer.attr("transform")(cleaned), cleaned.attr("columns"));
  py::object kept = imputed.attr("iloc")[py::make_tuple(all_rows(), fitted.no_variance_cols)];
  py::object reduced =
      kept.attr("drop")(fitted.features_to_drop_from_multicollinearity, py::arg("axis") = 1);
  py::object scaled = fitted.scaler.attr("transform")(reduced);
  return fitted.select_top_k_features.attr("transform")(scaled);
}

}  // namespace velmora::tradegate
