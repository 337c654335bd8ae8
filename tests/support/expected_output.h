#pragma once

// What open() prints for the simulated bootloader as it enumerates, from the
// opening of the device to the endpoints chosen.
inline constexpr const char* BOOTLOADER_OPENED = "Open device ... OK!\n"
                                                 "\n"
                                                 "Reading first configuration descriptor:\n"
                                                 "             nb interfaces: 1\n"
                                                 "\n"
                                                 "Claiming interface 0...\n"
                                                 "\n"
                                                 "Reading string descriptors:\n"
                                                 "   String (0x01): \"STMicroelectronics\"\n"
                                                 "   String (0x02): \"DFU Bootloader\"\n"
                                                 "   String (0x03): \"0123456789AB\"\n"
                                                 "Interface [0]:\n"
                                                 "  Setting [0]:\n"
                                                 "    endpoint[0].address: 81\n"
                                                 "      max packet size: 0040\n"
                                                 "      polling interval: 00\n"
                                                 "    endpoint[1].address: 01\n"
                                                 "      max packet size: 0040\n"
                                                 "      polling interval: 00\n"
                                                 "Endpoint in is assigned to 81\n"
                                                 "Endpoint out is assigned to 01\n";
