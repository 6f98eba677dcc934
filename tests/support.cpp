#include "support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quorvel_io.h"

namespace {

std::vector<std::string> scratch_dirs;

std::string
test_name(void)
{
	const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
	return t == nullptr ? "" : std::string(t->test_suite_name()) + "." + t->name();
}

struct scratch_cleanup : testing::Environment {
	void TearDown() override
	{
		for (const std::string &d : scratch_dirs)
			EXPECT_EQ(system(("rm -rf '" + d + "'").c_str()), 0);
	}
};
testing::Environment *const cleanup = testing::AddGlobalTestEnvironment(new scratch_cleanup);

}

std::string
scratch_dir(void)
{
	static std::string owner, dir;

	if (owner != test_name() || dir.empty()) {
		char tmpl[] = "/tmp/quorvel-test.XXXXXX";
		if (mkdtemp(tmpl) == nullptr)
			abort();
		dir = tmpl;
		owner = test_name();
		scratch_dirs.push_back(dir);
	}
	return dir;
}

std::string
scratch_write(const std::string &name, const std::string &text)
{
	std::string path = scratch_dir() + "/" + name;
	FILE *f = fopen(path.c_str(), "w");
	if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
		abort();
	return path;
}

std::string
scratch_read(const std::string &path)
{
	return file_read(path);
}

run_result
run_argv(const std::vector<std::string> &argv, const char *path)
{
	std::string dir = scratch_dir();
	std::string out = dir + "/.stdout", err = dir + "/.stderr";
	std::vector<char *> v;
	for (const std::string &a : argv)
		v.push_back(const_cast<char *>(a.c_str()));
	v.push_back(nullptr);

	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int i = open("/dev/null", O_RDONLY);
		if (o < 0 || e < 0 || i < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || dup2(i, 0) < 0)
			_exit(126);
		/* The program gets the three standard descriptors and no more, as from a shell. */
		closefrom(3);
		execv(path, v.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	run_result r;
	r.out = scratch_read(out);
	r.err = scratch_read(err);
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

run_result
run_quorvel(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {QUORVEL_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	return run_argv(argv, QUORVEL_BIN);
}

run_result
run_shell(const std::string &script)
{
	std::string body = "Q='" QUORVEL_BIN "'; cd '" + scratch_dir() + "' || exit 99\n" + script;
	return run_argv({"bash", "-c", body}, "/bin/bash");
}

std::string
alloc_trace(unsigned long records)
{
	char buf[128];
	snprintf(buf, sizeof buf, QUORVEL_ALLOCTRACE,
	    double(records) * double(sizeof(linedate)) / 1024.0 / 1024.0);
	return buf;
}
