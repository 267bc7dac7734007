#include "convert/parameter_writer.h"

namespace parvane {

// Placeholder until the parameter file text is composed.
std::string compose_parameter_file(const SourceParameters &,
                                   const ParameterFileContext &) {
  return {};
}

bool write_parameter_file(File &parameter_file,
                          const SourceParameters &parameters,
                          const ParameterFileContext &context) {
  const std::string text = compose_parameter_file(parameters, context);
  return parameter_file.append(std::span(
      reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

} // namespace parvane
