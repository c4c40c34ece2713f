// The formula catalogue: GET /api/v1/formulas, POST /api/v1/formulas/reload and
// DELETE /api/v1/formulas/{name}, thin calls into the host's formula registry.
#include "routes.hpp"

namespace formulas {

Co list_formulas(Obj request) {
    Ref registry = import_from("quorvane.formulas"_id, "registry"_id);
    Ref icli = request.attr("app"_id).attr("state"_id).attr_or_none("icli_app"_id);
    Ref results;
    if (truthy(icli) && hasattr(icli, "streamer"_id)) {
        results = icli.attr("streamer"_id).attr_or("formula_results"_id, new_dict());
    } else {
        results = new_dict();
    }
    co_return dict_of("success"_id, true, "registered"_id, registry.method("catalog"_id), "results"_id, results);
}

Co reload_formulas([[maybe_unused]] Obj request) {
    Ref reloader = import_from("quorvane.formulas.hotreload"_id, "FormulaHotReloader"_id);
    Ref registry = import_from("quorvane.formulas"_id, "registry"_id);
    co_return try_except(
        [&] {
            auto [count, failed] = unpack<2>(reloader.method("reload_custom_formulas"_id, registry));
            return dict_of("success"_id, true, "registered"_id, registry.method("list"_id), "new"_id, count, "failed"_id,
                           failed);
        },
        [](const PyError& e) { return dict_of("success"_id, false, "error"_id, to_str(e.value())); });
}

Co remove_formula([[maybe_unused]] Obj request, Str name) {
    Ref registry = import_from("quorvane.formulas"_id, "registry"_id);
    Ref name_upper = name.method("upper"_id);
    if (truthy(registry.method("is_native"_id, name_upper))) {
        co_return dict_of("success"_id, false, "error"_id, concat("Cannot unregister preset formula: ", name));
    }
    Ref removed = registry.method("remove"_id, name_upper);
    co_return dict_of("success"_id, removed, "name"_id, name_upper);
}

}  // namespace formulas
