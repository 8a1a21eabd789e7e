# The XML benchmark compares with pugixml and libxml2: benchmark-only dependencies, linked here and nowhere
# else.
find_package(pugixml REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
target_link_libraries(bench_xml PRIVATE pugixml::pugixml PkgConfig::LIBXML2)
