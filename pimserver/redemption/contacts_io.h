// Contacts in and out of a store as .vcf files.
#pragma once

#include "store.h"

#include <string>
#include <string_view>

namespace pim::contacts {

/// Adds every card of a .vcf text (vCard 2.1, 3.0 or 4.0; several cards) to the
/// contacts folder, each stored as vCard 3.0 with all its properties (photos
/// included). Groups (KIND:group) become distribution lists. A card that cannot
/// be read is skipped and named in `errors` with its line; the others are still
/// imported. Progress is reported after each card; when it returns false the
/// import stops and the store is left as it was (`cancelled`).
/// Throws store::StoreError when the store itself fails.
store::ImportResult importVcf(store::Store& store, std::string_view text, const store::Progress& progress = {});
/// The same for a file; a file that cannot be read throws StoreError (NotFound or AccessDenied).
store::ImportResult importVcfFile(store::Store& store, const std::string& file, const store::Progress& progress = {});

/// Every contact and distribution list of the folder, in folder order, as vCard 3.0,
/// keeping the properties the object model does not show. When progress returns
/// false the text stops after that item.
std::string exportVcf(store::Store& store, const store::Progress& progress = {});
/// Writes exportVcf's text beside `file` and renames it into place. Returns false,
/// writing nothing, when progress cancelled; throws StoreError when the file
/// cannot be written (no partial file is left).
bool exportVcfFile(store::Store& store, const std::string& file, const store::Progress& progress = {});

}  // namespace pim::contacts
