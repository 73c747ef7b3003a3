// C-FIND latency over one association: many STUDY-level queries by patient
// name prefix, each timed from request to final response, so process start
// and association set-up do not count.
//   bench_find <port> <called AE> <calling AE> <queries> <studies>
// Prefixes are drawn from IDX0000 .. IDX<studies/10 - 1> (ten studies each, as
// bench_samples index writes them). Prints "p50_ms p95_ms mean_matches".
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {
struct Counter
{
    int matches = 0;
};

void onResponse(void *data, T_DIMSE_C_FindRQ *, int, T_DIMSE_C_FindRSP *, DcmDataset *)
{
    ++static_cast<Counter *>(data)->matches;
}

int fail(const char *what, const OFCondition &cond)
{
    std::fprintf(stderr, "%s: %s\n", what, cond.text());
    return 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_find <port> <called AE> <calling AE> <queries> <studies>\n");
        return 2;
    }
    const std::string peer = std::string("127.0.0.1:") + argv[1];
    const int queries = std::atoi(argv[4]);
    const int groups = std::max(1, std::atoi(argv[5]) / 10);

    T_ASC_Network *net = nullptr;
    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, 30, &net);
    if (cond.bad())
        return fail("network", cond);
    T_ASC_Parameters *params = nullptr;
    ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
    ASC_setAPTitles(params, argv[3], argv[2], nullptr);
    ASC_setPresentationAddresses(params, "localhost", peer.c_str());
    const char *syntaxes[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
    ASC_addPresentationContext(params, 1, UID_FINDStudyRootQueryRetrieveInformationModel, syntaxes, 2);
    T_ASC_Association *assoc = nullptr;
    cond = ASC_requestAssociation(net, params, &assoc);
    if (cond.bad())
        return fail("association", cond);
    const T_ASC_PresentationContextID presId =
        ASC_findAcceptedPresentationContextID(assoc, UID_FINDStudyRootQueryRetrieveInformationModel);
    if (presId == 0)
        return fail("association", EC_IllegalCall);

    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(0, groups - 1);
    std::vector<double> times;
    long long matches = 0;
    for (int q = 0; q < queries; ++q) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "IDX%04d*", pick(random));
        DcmDataset query;
        query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        query.putAndInsertString(DCM_PatientName, prefix);
        query.putAndInsertString(DCM_PatientID, "");
        query.putAndInsertString(DCM_StudyInstanceUID, "");
        query.putAndInsertString(DCM_StudyDate, "");
        query.putAndInsertString(DCM_AccessionNumber, "");
        query.putAndInsertString(DCM_ModalitiesInStudy, "");
        query.putAndInsertString(DCM_StudyDescription, "");
        T_DIMSE_C_FindRQ request{};
        request.MessageID = assoc->nextMsgID++;
        OFStandard::strlcpy(request.AffectedSOPClassUID, UID_FINDStudyRootQueryRetrieveInformationModel,
                            sizeof request.AffectedSOPClassUID);
        request.DataSetType = DIMSE_DATASET_PRESENT;
        request.Priority = DIMSE_PRIORITY_MEDIUM;
        T_DIMSE_C_FindRSP response{};
        DcmDataset *status = nullptr;
        Counter counter;
        int responses = 0;
        const auto start = std::chrono::steady_clock::now();
        cond = DIMSE_findUser(assoc, presId, &request, &query, responses, onResponse, &counter, DIMSE_BLOCKING, 0, &response,
                              &status);
        const auto end = std::chrono::steady_clock::now();
        delete status;
        if (cond.bad())
            return fail("C-FIND", cond);
        if (response.DimseStatus != STATUS_Success) {
            std::fprintf(stderr, "C-FIND status 0x%04x\n", unsigned(response.DimseStatus));
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        matches += counter.matches;
    }
    ASC_releaseAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    ASC_dropNetwork(&net);
    std::sort(times.begin(), times.end());
    auto at = [&](double p) { return times[std::min(times.size() - 1, size_t(p * double(times.size())))]; };
    std::printf("%.3f %.3f %.1f\n", at(0.50), at(0.95), double(matches) / std::max(1, queries));
    return 0;
}
