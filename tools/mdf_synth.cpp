// mdf-synth: makes synthetic SQL Server data files and recovery images around them, each image
// with a JSON manifest of what a correct recovery must produce. See docs/test-world.md.
#include <fmt/core.h>

#include <CLI/CLI.hpp>

#include "testworld/test_world.h"

namespace {

using namespace mdf::test;

Damage parseDamage(const std::vector<std::string>& words) {
    Damage d;
    for (const std::string& w : words) {
        if (w == "lose-starts")
            d.loseFragmentStarts = 2;
        else if (w == "unreadable")
            d.unreadable = true;
        else if (w == "torn")
            d.tornPage = true;
        else if (w == "lose-pfs")
            d.losePfsPage = true;
        else
            throw CLI::ValidationError("--damage", "unknown damage: " + w);
    }
    if (d.unreadable && d.loseFragmentStarts == 0) d.loseFragmentStarts = 2;
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"mdf-synth: synthetic SQL Server databases and recovery images"};
    app.require_subcommand(1);

    DatabaseRecipe recipe;
    std::string protection = "checksum", output;
    auto* db =
        app.add_subcommand("db", "Write a synthetic primary data file and its recipe (FILE.json)");
    db->add_option("--pages", recipe.pages, "File size in pages")->check(CLI::Range(48, 1 << 30));
    db->add_option("--used", recipe.usedPages, "Pages with content (default three quarters)");
    db->add_option("--protection", protection, "checksum, torn or none");
    db->add_option("--file-id", recipe.fileId, "File id in every page header");
    db->add_option("--seed", recipe.seed, "Seed");
    db->add_option("--name", recipe.physicalPath, "The file's own path, kept in page 32");
    db->add_option("--logical", recipe.logicalName, "The logical file name, kept in page 32");
    db->add_option("--objects", recipe.objects, "Objects (2 to 8)");
    db->add_option("-o,--output", output, "Output file")->required();

    std::string kind = "raw", dbPath, ntfsMode = "deleted";
    FileSystemImageOptions fsOptions;
    RawImageOptions rawOptions;
    std::vector<std::string> damage;
    auto* image =
        app.add_subcommand("image", "Build a recovery image around a database made by `db`");
    image->add_option("--kind", kind, "raw, fat32, ntfs, disk (MBR) or gpt-disk");
    image->add_option("--sector-bytes", fsOptions.sectorBytes,
                      "The volume's sector (and a gpt-disk's LBA): 512 or 4096 for a 4Kn disk");
    image->add_option("--cluster-sectors", fsOptions.clusterSectors, "Sectors per cluster");
    image->add_option("--seed", fsOptions.seed, "Seed");
    image->add_option("--db", dbPath, "Database file written by `mdf-synth db`")->required();
    image->add_option("--ntfs-mode", ntfsMode, "deleted, present or mft-overwritten");
    image->add_option("--stale", rawOptions.staleCopies, "Stale copies in a raw image");
    image->add_option("--damage", damage, "lose-starts, unreadable, torn, lose-pfs")
        ->delimiter(',');
    image->add_option("-o,--output", output, "Image file; the manifest goes to IMAGE.json")
        ->required();

    CLI11_PARSE(app, argc, argv);
    try {
        if (*db) {
            auto p = parseProtection(protection);
            if (!p) throw CLI::ValidationError("--protection", protection);
            recipe.protection = *p;
            SyntheticDatabase database(recipe);
            database.writeTo(output);
            saveDatabaseRecipe(recipe, output + ".json");
            fmt::print("{}: {} pages ({} used), sha256 {}\n", output, database.pageCount(),
                       database.usedPages(), database.sha256());
            return 0;
        }
        SyntheticDatabase database(loadDatabaseRecipe(dbPath + ".json"));
        ImageManifest m;
        if (kind == "raw") {
            rawOptions.seed = fsOptions.seed;
            rawOptions.damage = parseDamage(damage);
            m = buildRawImage(database, output, rawOptions);
        } else {
            fsOptions.damage = parseDamage(damage);
            fsOptions.ntfsMode = ntfsMode == "present"           ? NtfsMode::Present
                                 : ntfsMode == "mft-overwritten" ? NtfsMode::MftOverwritten
                                                                 : NtfsMode::Deleted;
            if (kind == "fat32")
                m = buildFat32Image(database, output, fsOptions);
            else if (kind == "ntfs")
                m = buildNtfsImage(database, output, fsOptions);
            else if (kind == "disk")
                m = buildDiskImage(database, output, fsOptions);
            else if (kind == "gpt-disk")
                m = buildGptDiskImage(database, output, fsOptions);
            else
                throw CLI::ValidationError("--kind", kind);
        }
        m.save(output + ".json");
        fmt::print("{}: {} image, {} true fragments, {} decoys, manifest {}.json\n", output, m.kind,
                   m.fragments.size(), m.decoys.size(), output);
    } catch (const CLI::Error& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        fmt::print(stderr, "mdf-synth: {}\n", e.what());
        return 1;
    }
    return 0;
}
