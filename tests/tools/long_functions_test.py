#!/usr/bin/env python3
"""Checks scripts/long-functions against the layouts of this tree that fool plain brace counting.

    python3 tests/tools/long_functions_test.py
"""
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
SCRIPT = os.path.join(ROOT, 'scripts', 'long-functions')
_loader = importlib.machinery.SourceFileLoader('long_functions', SCRIPT)
_spec = importlib.util.spec_from_loader('long_functions', _loader)
lf = importlib.util.module_from_spec(_spec)
_loader.exec_module(lf)


def spans(source):
    """{name: (first line, last line)} of the functions in source."""
    return {name: (first, last) for name, first, last in lf.functions(textwrap.dedent(source).lstrip('\n'))}


class BracesThatAreNotCode(unittest.TestCase):
    def test_comments_literals_and_directives_hide_their_braces(self):
        got = spans(r'''
            // { a comment's brace
            #define OPEN {
            #define BLOCK(x) \
              { x; }
            int F() {
              /* } */ const char* s = "}{"; char c = '}';
              int big = 1'000'000;  // a digit separator is no character literal
              return '{' + big;
            }
            int G() { return 0; }
            ''')
        self.assertEqual(got, {'F': (5, 9), 'G': (10, 10)})

    def test_raw_string_shader_text_with_braces_and_quotes(self):
        got = spans('''
            const char* Shader() {
              return R"glsl(
            void main() { gl_FragColor = vec4(")"); }
            )glsl";
            }
            int After() { return 1; }
            ''')
        self.assertEqual(got, {'Shader': (1, 5), 'After': (6, 6)})


class WhatABraceOpens(unittest.TestCase):
    def test_tables_enums_and_namespaces_are_not_functions(self):
        got = spans('''
            namespace vl::render {
            namespace {
            enum class Mode { kA, kB };
            const std::array<Row, 2> kRows = {{
                {"a", 1}, {"b", 2},
            }};
            Row kOne{"c", 3};
            }  // namespace
            int Used() {
              return 0;
            }
            }  // namespace vl::render
            ''')
        self.assertEqual(got, {'Used': (9, 11)})

    def test_constructor_initialisers_lambdas_and_local_types_stay_inside(self):
        got = spans('''
            Thing::Thing(int a)
                : a_{a},
                  f_([](int x) { return x + 1; }),
                  b_(a) {
              struct Local { int M() { return 1; } };
              auto g = [&] {
                return a_;
              };
            }
            Thing::~Thing() {}
            ''')
        self.assertEqual(got, {'Thing::Thing': (1, 9), 'Thing::~Thing': (10, 10)})

    def test_members_in_class_bodies_operators_and_templates(self):
        got = spans('''
            template <class T, typename = std::enable_if_t<true>>
            class Box : public Base<T> {
             public:
              bool operator==(const Box& o) const { return v_ == o.v_; }
              int operator()(int x) const {
                return x;
              }
              std::function<void(int)> Maker() const {
                return {};
              }
             private:
              T v_{};
            };
            template <typename T>
            T Twice(T x) {
              return x + x;
            }
            const auto kSquare = [](int x) {
              return x * x;
            };
            ''')
        self.assertEqual(got, {'operator==': (4, 4), 'operator()': (5, 7), 'Maker': (8, 10),
                               'Twice': (15, 17), 'kSquare': (18, 20)})

    def test_control_statements_and_initialiser_calls_are_not_names(self):
        got = spans('''
            int F(int n) {
              if (n) { return 1; }
              for (int i = 0; i < n; ++i) { n += i; }
              return n;
            }
            Widget w = Widget(3);
            int x = Compute(w) + 1;
            ''')
        self.assertEqual(got, {'F': (1, 5)})


class CommandLine(unittest.TestCase):
    def test_lists_long_functions_longest_first_and_the_largest_files(self):
        with tempfile.TemporaryDirectory() as tree:
            os.makedirs(os.path.join(tree, 'render'))
            body = '\n'.join(f'  x += {i};' for i in range(6))
            with open(os.path.join(tree, 'render', 'a.cpp'), 'w') as f:
                f.write(f'void Short() {{\n}}\nvoid Long(int x) {{\n{body}\n}}\n')
            with open(os.path.join(tree, 'render', 'b.h'), 'w') as f:
                f.write(f'struct S {{\n  void Longer() {{\n{body}\n{body}\n  }}\n}};\n')
            out = subprocess.run([sys.executable, SCRIPT, '--root', tree, '--min', '5', '--files', '1', 'render'],
                                 capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(out, ['   14  render/b.h:2  Longer', '    8  render/a.cpp:3  Long',
                               '2 function(s) longer than 5 lines', 'largest files:', '   16  render/b.h'])


if __name__ == '__main__':
    unittest.main()
