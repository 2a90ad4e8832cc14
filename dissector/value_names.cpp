// SPDX-License-Identifier: GPL-2.0-or-later
#include "value_names.h"

namespace kestrune {

const value_string packet_type_names[] = {
    {0, "VoicePacket"}, {1, "DTMFPacket"}, {2, "FaxFRF11"}, {3, "FaxBypass"},
    {4, "ModemBypass"}, {5, "ModemRelay"}, {6, "FaxT38"},   {0, nullptr},
};

const value_string codec_type_names[] = {
    {0, "G726_16"},       {1, "G723Low"},      {2, "G723High"},     {3, "G729"},
    {4, "G711Alaw"},      {5, "G711Mulaw"},    {6, "Vocantis_9_6"}, {7, "G726_32"},
    {8, "G728"},          {9, "Vocantis_7_2"}, {10, "G727_16"},     {11, "G727_32"},
    {12, "Vocantis_4_8"}, {13, "Transparent"}, {14, "G727_24_16"},  {15, "G726_24"},
    {0, nullptr},
};

}  // namespace kestrune
