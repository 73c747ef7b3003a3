// Benchmark data, as modalities would send it.
//   bench_samples ct <folder> <count> <size> <tag>
//       one CT series of <count> slices, <size> x <size>, 12 bits stored: a
//       body-shaped phantom with organs and Gaussian noise (sigma 12 HU), so
//       the lossless coder sees what it sees on a real scanner, not a ramp.
//   bench_samples index <folder> <first> <count>
//       <count> small studies (one 32x32 image each) of patients IDX<n>,
//       n from <first>; names IDX<n / 10>^<n> so a four-digit prefix matches
//       ten studies whatever the archive's size.
// <tag> keeps the UIDs of different series apart.
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kRoot = "1.2.826.0.1.3680043.10.99.";

void putCommon(DcmDataset *ds, const std::string &patientId, const std::string &name, const std::string &study,
               const std::string &series, const std::string &instance, int number, const std::string &date)
{
    ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, instance.c_str());
    ds->putAndInsertString(DCM_StudyInstanceUID, study.c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, series.c_str());
    ds->putAndInsertString(DCM_PatientID, patientId.c_str());
    ds->putAndInsertString(DCM_PatientName, name.c_str());
    ds->putAndInsertString(DCM_PatientBirthDate, "19600101");
    ds->putAndInsertString(DCM_PatientSex, "O");
    ds->putAndInsertString(DCM_StudyDate, date.c_str());
    ds->putAndInsertString(DCM_StudyTime, "101500");
    ds->putAndInsertString(DCM_AccessionNumber, ("A" + patientId).c_str());
    ds->putAndInsertString(DCM_StudyID, "1");
    ds->putAndInsertString(DCM_StudyDescription, "BENCH CT");
    ds->putAndInsertString(DCM_Modality, "CT");
    ds->putAndInsertString(DCM_SeriesNumber, "1");
    ds->putAndInsertString(DCM_InstanceNumber, std::to_string(number).c_str());
    ds->putAndInsertString(DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
    ds->putAndInsertString(DCM_RescaleIntercept, "-1024");
    ds->putAndInsertString(DCM_RescaleSlope, "1");
    ds->putAndInsertString(DCM_SliceThickness, "1.0");
    ds->putAndInsertString(DCM_ImagePositionPatient, ("0\\0\\" + std::to_string(number)).c_str());
    ds->putAndInsertString(DCM_PixelSpacing, "0.7\\0.7");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
}

bool save(DcmFileFormat &file, const std::string &path)
{
    const OFCondition cond = file.saveFile(path.c_str(), EXS_LittleEndianExplicit);
    if (cond.bad())
        std::fprintf(stderr, "%s: %s\n", path.c_str(), cond.text());
    return cond.good();
}

// Stored values (HU + 1024) of one axial slice.
std::vector<Uint16> phantomSlice(int size, int slice, std::mt19937 &random)
{
    std::normal_distribution<double> noise(0.0, 12.0);
    std::vector<Uint16> pixels(size_t(size) * size);
    const double c = size / 2.0;
    const double wobble = 0.04 * std::sin(slice * 0.05);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double dx = (x - c) / (0.44 * size), dy = (y - c) / (0.34 * size);
            const double body = dx * dx + dy * dy;
            double hu = -1000.0; // air
            if (body < 1.0 + wobble) {
                hu = body > 0.9 ? -90.0 : 40.0; // fat rim, soft tissue
                const double lx = (x - c * 0.6) / (0.12 * size), ly = (y - c) / (0.18 * size);
                const double rx = (x - c * 1.4) / (0.12 * size);
                if (lx * lx + ly * ly < 1.0 || rx * rx + ly * ly < 1.0)
                    hu = -850.0; // lungs
                const double sx = (x - c) / (0.05 * size), sy = (y - c * 1.45) / (0.05 * size);
                if (sx * sx + sy * sy < 1.0)
                    hu = 700.0; // spine
            }
            const double value = hu + 1024.0 + (hu > -1000.0 ? noise(random) : noise(random) * 0.3);
            pixels[size_t(y) * size + x] = Uint16(std::lround(std::clamp(value, 0.0, 4095.0)));
        }
    }
    return pixels;
}

int makeCt(const std::string &folder, int count, int size, const std::string &tag)
{
    const std::string study = kRoot + "1." + tag;
    const std::string series = study + ".1";
    std::mt19937 random(unsigned(std::stoul(tag)));
    for (int i = 1; i <= count; ++i) {
        DcmFileFormat file;
        DcmDataset *ds = file.getDataset();
        putCommon(ds, "BENCH" + tag, "BENCH^CT" + tag, study, series, series + "." + std::to_string(i), i, "20240115");
        ds->putAndInsertUint16(DCM_Rows, Uint16(size));
        ds->putAndInsertUint16(DCM_Columns, Uint16(size));
        const std::vector<Uint16> pixels = phantomSlice(size, i, random);
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
        char name[32];
        std::snprintf(name, sizeof name, "/%05d.dcm", i);
        if (!save(file, folder + name))
            return 1;
    }
    return 0;
}

int makeIndex(const std::string &folder, int first, int count)
{
    std::mt19937 random{unsigned(first)};
    for (int n = first; n < first + count; ++n) {
        char id[32], name[64], date[16];
        std::snprintf(id, sizeof id, "IDX%05d", n);
        std::snprintf(name, sizeof name, "IDX%04d^N%05d", n / 10, n);
        std::snprintf(date, sizeof date, "2023%02d%02d", 1 + n % 12, 1 + n % 28);
        const std::string study = kRoot + "2." + std::to_string(n);
        DcmFileFormat file;
        DcmDataset *ds = file.getDataset();
        putCommon(ds, id, name, study, study + ".1", study + ".1.1", 1, date);
        ds->putAndInsertUint16(DCM_Rows, 32);
        ds->putAndInsertUint16(DCM_Columns, 32);
        const std::vector<Uint16> pixels = phantomSlice(32, n, random);
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
        if (!save(file, folder + "/" + id + ".dcm"))
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode != "ct" || argc != 6) && (mode != "index" || argc != 5)) {
        std::fprintf(stderr, "usage: bench_samples ct <folder> <count> <size> <tag>\n"
                             "       bench_samples index <folder> <first> <count>\n");
        return 2;
    }
    const std::string folder = argv[2];
    ::mkdir(folder.c_str(), 0755);
    if (mode == "ct")
        return makeCt(folder, std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
    return makeIndex(folder, std::atoi(argv[3]), std::atoi(argv[4]));
}
