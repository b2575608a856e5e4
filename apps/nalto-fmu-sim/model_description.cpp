#include "model_description.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "archive.hpp"

namespace nalto::fmu {
namespace {

std::optional<double> number_attribute(const pugi::xml_node& node, const char* name) {
  const pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute) return std::nullopt;
  const std::string text = attribute.value();
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value))
    throw FmuError(std::string("modelDescription.xml: ") + node.name() + "'s " + name + " '" + text +
                   "' is no number");
  return value;
}

std::optional<VariableType> type_of(std::string_view element) {
  if (element == "Real") return VariableType::real;
  if (element == "Integer") return VariableType::integer;
  if (element == "Boolean") return VariableType::boolean;
  if (element == "String") return VariableType::string;
  if (element == "Enumeration") return VariableType::enumeration;
  return std::nullopt;
}

Variable read_variable(const pugi::xml_node& node) {
  Variable v;
  v.name = node.attribute("name").value();
  const std::string reference = node.attribute("valueReference").value();
  const auto [end, error] =
      std::from_chars(reference.data(), reference.data() + reference.size(), v.value_reference);
  if (v.name.empty() || error != std::errc() || end != reference.data() + reference.size())
    throw FmuError("modelDescription.xml: a ScalarVariable needs a name and a valueReference (variable '" +
                   v.name + "', valueReference '" + reference + "')");
  if (const pugi::xml_attribute a = node.attribute("causality")) v.causality = a.value();
  if (const pugi::xml_attribute a = node.attribute("variability")) v.variability = a.value();
  for (const pugi::xml_node& child : node.children()) {
    const std::optional<VariableType> type = type_of(child.name());
    if (!type) continue;
    v.type = *type;
    if (const pugi::xml_attribute start = child.attribute("start")) v.start = start.value();
    if (v.type != VariableType::boolean && v.type != VariableType::string) {
      v.min = number_attribute(child, "min");
      v.max = number_attribute(child, "max");
    }
    return v;
  }
  throw FmuError("modelDescription.xml: the variable '" + v.name + "' has no type element");
}

}  // namespace

ModelDescription parse_model_description(const std::string& xml) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
  if (!parsed)
    throw FmuError(std::string("modelDescription.xml is not XML: ") + parsed.description() + " at byte " +
                   std::to_string(parsed.offset));
  const pugi::xml_node root = document.child("fmiModelDescription");
  if (!root) throw FmuError("modelDescription.xml has no fmiModelDescription element");
  ModelDescription md;
  md.fmi_version = root.attribute("fmiVersion").value();
  md.model_name = root.attribute("modelName").value();
  md.guid = root.attribute(md.fmi_version.starts_with("3") ? "instantiationToken" : "guid").value();
  if (const pugi::xml_node cs = root.child("CoSimulation"))
    md.co_simulation = cs.attribute("modelIdentifier").value();
  md.model_exchange = static_cast<bool>(root.child("ModelExchange"));
  if (const pugi::xml_node e = root.child("DefaultExperiment")) {
    md.experiment = {number_attribute(e, "startTime"), number_attribute(e, "stopTime"),
                     number_attribute(e, "tolerance"), number_attribute(e, "stepSize")};
  }
  for (const pugi::xml_node& node : root.child("ModelVariables").children("ScalarVariable"))
    md.variables.push_back(read_variable(node));
  return md;
}

ModelDescription read_model_description(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FmuError("the FMU holds no modelDescription.xml at its root");
  std::ostringstream text;
  text << in.rdbuf();
  return parse_model_description(text.str());
}

const char* type_name(VariableType type) {
  switch (type) {
    case VariableType::real:
      return "Real";
    case VariableType::integer:
      return "Integer";
    case VariableType::boolean:
      return "Boolean";
    case VariableType::string:
      return "String";
    case VariableType::enumeration:
      return "Enumeration";
  }
  return "?";
}

}  // namespace nalto::fmu
