// Stage split of roots() on the benchmark suite, measured in C++: degree estimate,
// discretization, QZ candidates and Newton refinement, median over repeated runs.
// Usage: bench_stages OUTDIR [RUNS]
// Writes OUTDIR/stages.csv and, per system, OUTDIR/system_<i>.bin and OUTDIR/pencil_<i>.bin
// (int64 header, then float64 column-major data) for bench_roots.py to time against LAPACK.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <Eigen/Eigenvalues>

#include "detail.hpp"
#include "lagsys.hpp"
#include "suite.hpp"

namespace {

template <typename F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void write_int(std::ofstream& out, std::int64_t v) { out.write(reinterpret_cast<const char*>(&v), sizeof v); }
void write_matrix(std::ofstream& out, const Eigen::MatrixXd& A) {
    out.write(reinterpret_cast<const char*>(A.data()), static_cast<std::streamsize>(A.size() * sizeof(double)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR [RUNS]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::ofstream csv(dir + "/stages.csv");
    csv << "name,n,m,r,N,M,roots,degree_s,discretization_s,qz_s,qz_vectors_s,refine_s,total_s\n";

    const auto entries = bench::suite();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bench::Entry& e = entries[i];
        std::vector<double> t_degree, t_disc, t_qz, t_qz_vectors, t_refine, t_total;
        std::size_t N = 0, count = 0;
        lagsys::detail::Pencil pencil;
        for (int run = 0; run < runs; ++run) {
            lagsys::detail::Candidates candidates, result;
            t_total.push_back(seconds([&] { result = lagsys::roots(e.sys, e.r); }));
            t_degree.push_back(seconds([&] { N = std::min<std::size_t>(lagsys::compute_N_rhp(e.sys, e.r, 20), 100); }));
            t_disc.push_back(seconds([&] { pencil = lagsys::sparse_spectral_discretization(e.sys, N); }));
            t_qz.push_back(seconds([&] { candidates = lagsys::detail::pencil_candidates(pencil); }));
            // The QZ with its default arguments, which also computes the unused eigenvectors.
            t_qz_vectors.push_back(seconds([&] {
                Eigen::GeneralizedEigenSolver<Eigen::MatrixXd> with_vectors(pencil.first, pencil.second);
            }));
            t_refine.push_back(seconds([&] { result = lagsys::detail::refine_candidates(e.sys, candidates, e.r); }));
            count = result.size();
        }
        csv << e.name << ',' << e.sys.n() << ',' << e.sys.mA() << ',' << e.r << ',' << N << ','
            << pencil.first.rows() << ',' << count << ',' << median(t_degree) << ',' << median(t_disc) << ','
            << median(t_qz) << ',' << median(t_qz_vectors) << ',' << median(t_refine) << ',' << median(t_total) << '\n';

        std::ofstream sys_out(dir + "/system_" + std::to_string(i) + ".bin", std::ios::binary);
        write_int(sys_out, static_cast<std::int64_t>(e.sys.mA()));
        write_int(sys_out, e.sys.n());
        sys_out.write(reinterpret_cast<const char*>(e.sys.hA().data()),
                      static_cast<std::streamsize>(e.sys.mA() * sizeof(double)));
        for (std::size_t k = 0; k < e.sys.mA(); ++k) write_matrix(sys_out, e.sys.A(k));
        std::ofstream pencil_out(dir + "/pencil_" + std::to_string(i) + ".bin", std::ios::binary);
        write_int(pencil_out, pencil.first.rows());
        write_matrix(pencil_out, pencil.first);
        write_matrix(pencil_out, pencil.second);
        std::fprintf(stderr, "%-8s N=%3zu M=%5ld roots=%4zu total %.4f s\n", e.name.c_str(), N,
                     static_cast<long>(pencil.first.rows()), count, median(t_total));
    }
    return 0;
}
