// SPDX-License-Identifier: MIT
// libvehcan in a process that supplies no get_xml_content: it loads, and every
// database lookup fails with J1939_ERR_XML_READ instead of a crash.
#include "j1939_stack.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>

namespace {

TEST(DatabaseWithoutHostLookup, EveryOperationFailsWithXmlRead) {
    char text[1000];
    std::memset(text, 'x', sizeof text);
    int count = -1;
    unsigned long spns[2] = {9, 9};
    parse_dbc rec{};
    EXPECT_EQ(read_spn_list_content(61444, text), J1939_ERR_XML_READ);
    EXPECT_EQ(read_service_component_description(7, text), J1939_ERR_XML_READ);
    EXPECT_EQ(get_spn_no(61444, &count), J1939_ERR_XML_READ);
    EXPECT_EQ(get_spn_numbers(61444, spns, 0), J1939_ERR_XML_READ);
    EXPECT_EQ(get_spn_details(61444, 190, &rec), J1939_ERR_XML_READ);
    EXPECT_EQ(read_bit_data(61444, 190, 1, 2, text), J1939_ERR_XML_READ);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(count, -1);
    EXPECT_EQ(spns[0], 9U);
}

TEST(DatabaseWithoutHostLookup, SharedLibraryLoadsWithEveryBindingResolved) {
    // RTLD_NOW resolves every reference at load: a strong reference to the
    // missing lookup would make dlopen fail here.
    void *lib = dlopen(VEHCAN_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror(); // NOLINT(concurrency-mt-unsafe): one thread
    using GetSpnNo = int (*)(unsigned long, int *);
    auto lib_get_spn_no = reinterpret_cast<GetSpnNo>(dlsym(lib, "get_spn_no"));
    ASSERT_NE(lib_get_spn_no, nullptr);
    int count = -1;
    EXPECT_EQ(lib_get_spn_no(61444, &count), J1939_ERR_XML_READ);
    dlclose(lib);
}

} // namespace
